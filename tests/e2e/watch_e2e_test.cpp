// "watch" and "unwatch" end to end: real repositories, real two-second polls. These scenarios
// check how watches come and go, what reaches the stream, and that the changes the status
// command would show get past the watcher's change gate. Each needs several poll periods, so they
// run at the same time, each with an agent of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <thread>

#include "support/harness.h"
#include "support/repo_fixture.h"

namespace {

using namespace vesk::test;
using namespace std::chrono_literals;

constexpr auto kEventWait = 5s;   // a poll period and room for the fingerprint on a busy machine
constexpr auto kQuiet = 4500ms;   // two polls: a watcher that was going to report has done so
constexpr auto kWatcherEnd = 3s;  // a cleared watcher's last poll

struct Scenario {
    TempDir tmp;
    const std::string repo = tmp / "repo", home = tmp / "home";
    std::optional<std::string> share;  // VESK_WATCH_SHARE for the agent: set before a call
    std::optional<vesk::client::AgentClient> started;
    vesk::client::AgentClient& agent() {  // with a home of its own, away from the user's config
        if (!started)
            started.emplace(agent_options(
                {{"HOME", home}, {"XDG_CONFIG_HOME", tmp / "xdg"}, {"VESK_WATCH_SHARE", share}},
                tmp.path()));
        return *started;
    }

    void call(const char* method, const std::string& path) {
        expect_replies(agent(), {{method, {{"path", path}}, "", ok()}});
    }
    std::string next(const char* why) {
        std::optional<vesk::client::Message> e = agent().next_event(kEventWait);
        EXPECT_TRUE(e) << "no event after " << why;
        return e ? e->header_text + (e->body.empty() ? "" : " with a body") : "";
    }
    void event(const std::string& path, const char* why) {
        EXPECT_EQ(next(why),
                  R"({"id":0,"method":"changed","data":{"path":)" + json(path).dump() + "}}")
            << why;
    }
    void quiet(std::chrono::milliseconds wait, const char* why) {
        std::optional<vesk::client::Message> e = agent().next_event(wait);
        EXPECT_FALSE(e) << "unexpected " << e->header_text << " after " << why;
    }
};

void make_dirs(const std::string& path) {
    run_process({"mkdir", "-p", path});
}

const std::pair<const char*, std::function<void(Scenario&)>> kScenarios[] = {
    {"two texts for one repository, one of them watched twice",
     [](Scenario& s) {
         make_repo(s.repo);
         s.call("watch", "repo");
         s.call("watch", s.repo);
         s.call("watch", s.repo);
         write_file(s.repo + "/tracked.txt", "edited\n");
         std::multiset<std::string> seen = {s.next("an edit"), s.next("an edit")};
         std::string abs = json(s.repo).dump();
         EXPECT_EQ(seen, (std::multiset<std::string>{
                             R"({"id":0,"method":"changed","data":{"path":"repo"}})",
                             R"({"id":0,"method":"changed","data":{"path":)" + abs + "}}"}));
         s.quiet(kWatcherEnd, "the two events of one change");
         s.call("unwatch", s.repo);
         s.call("unwatch", "repo");
         s.call("unwatch", "never watched");
         std::this_thread::sleep_for(kWatcherEnd);
         write_file(s.repo + "/new.txt", "untracked\n");
         s.quiet(kQuiet, "a change after unwatching");
     }},
    {"refs that move without a change to the status listing",
     [](Scenario& s) {
         make_repo(s.repo);
         ASSERT_EQ(::mkdir((s.repo + "/sub").c_str(), 0755), 0);  // found from below the top
         s.call("watch", s.repo + "/sub");
         git_in(s.repo, {"commit", "-q", "--allow-empty", "-m", "second"});
         s.event(s.repo + "/sub", "a commit");
         git_in(s.repo, {"branch", "feature"});
         s.event(s.repo + "/sub", "a new branch");
         git_in(s.repo, {"checkout", "-q", "feature"});
         s.event(s.repo + "/sub", "a branch checked out");
         ASSERT_EQ(::unlink((s.repo + "/.git/index").c_str()), 0);
         s.event(s.repo + "/sub", "the index removed");
     }},
    {"directories made after the watch started",
     [](Scenario& s) {
         make_repo(s.repo);
         s.call("watch", s.repo);
         make_dirs(s.repo + "/late");
         s.quiet(kQuiet, "an empty directory");  // as the listing shows none
         make_dirs(s.repo + "/late/a/b");
         s.quiet(kQuiet, "an empty nested tree");
         write_file(s.repo + "/late/a/b/new.txt", "new\n");
         s.event(s.repo, "a file deep in the new tree");
     }},
    {"ignore rules outside the tree and in the git directory",
     [](Scenario& s) {
         make_repo(s.repo);
         write_file(s.repo + "/junk.log", "");
         write_file(s.repo + "/scratch.tmp", "");
         make_dirs(s.home);
         write_file(s.home + "/.gitconfig", "[include]\n\tpath = more.cfg\n");
         write_file(s.home + "/more.cfg", "[core]\n\texcludesFile = ~/ignored\n");
         s.call("watch", s.repo);
         s.quiet(kQuiet, "watching");  // past the first poll, which runs git status
         write_file(s.home + "/ignored", "*.log\n");
         s.event(s.repo, "the excludes file an included file names");
         write_file(s.repo + "/.git/info/exclude", "*.tmp\n");
         s.event(s.repo, "info/exclude edited");
     }},
    {"a watch too big for its share of the kernel's watches polls in full",
     [](Scenario& s) {
         s.share = "0.00001";
         make_repo(s.repo);
         make_dirs(s.repo + "/d/e");
         s.call("watch", s.repo);
         s.quiet(kQuiet, "watching");
         write_file(s.repo + "/d/e/new.txt", "new\n");
         s.event(s.repo, "a file in a directory no watch could cover");
     }},
    {"a tracked file written through a hard link from outside the tree",
     [](Scenario& s) {
         make_repo(s.repo);
         const std::string outside = s.tmp / "outside.txt";
         ASSERT_EQ(::link((s.repo + "/tracked.txt").c_str(), outside.c_str()), 0);
         s.call("watch", s.repo);
         s.quiet(kQuiet, "watching");
         write_file(outside, "edited through the other name\n");
         s.event(s.repo, "a write through the outside link");
     }},
    {"a linked worktree, whose git directories lie outside it",
     [](Scenario& s) {
         make_repo(s.repo);
         const std::string wt = s.tmp / "wt";
         git_in(s.repo, {"worktree", "add", "-q", "-b", "side", wt});
         write_file(wt + "/scratch.tmp", "");
         s.call("watch", wt);
         s.quiet(kQuiet, "watching");
         // Shared by every worktree, it lies in the main repository's git directory.
         write_file(s.repo + "/.git/info/exclude", "*.tmp\n");
         s.event(wt, "the shared info/exclude edited");
     }},
    {"a path that appears, then becomes a repository",
     [](Scenario& s) {
         const std::string later = s.tmp / "later";
         s.call("watch", later);
         s.quiet(kQuiet, "watching a missing path");
         ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
         s.event(later, "the directory appearing");
         write_file(later + "/file.txt", "nobody tracks this\n");
         s.quiet(kQuiet, "a change outside any repository");
         git_in(later, {"init", "-q"});
         s.event(later, "making it a repository");
     }},
};

TEST(WatchE2E, ScenariosInParallel) {
    std::vector<std::thread> threads;
    for (const auto& scenario : kScenarios) {
        threads.emplace_back([&scenario] {
            SCOPED_TRACE(scenario.first);
            try {
                Scenario s;
                scenario.second(s);
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace
