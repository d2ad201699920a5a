// "watch" and "unwatch" end to end: the real agent, real repositories, real two-second polls.
// Which changes move a repository's fingerprint (edits, untracked files that come and go,
// linked worktrees, subdirectories) is checked by the repository unit tests; these scenarios
// check how watches come and go and what reaches the stream.
//
// Every scenario needs several poll periods of waiting, so the scenarios run at the same time,
// each with an agent of its own; the whole set takes about as long as the slowest one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "git/repo_fixture.h"
#include "support/harness.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using vesk::client::AgentClient;
using vesk::client::Message;
using vesk::client::StartOptions;
using vesk::test::git_in;
using vesk::test::make_repo;
using vesk::test::TempDir;
using vesk::test::write_file;

// One poll period plus generous room for the fingerprint on a loaded machine. Waiting for an
// expected event returns as soon as it arrives, so only a failure pays the full time.
constexpr auto kEventWait = 5s;
// Longer than two poll periods: a watcher that was going to report has had two chances.
constexpr auto kQuietWait = 4500ms;
// Long enough for a watcher whose flag was cleared to finish its last poll and end.
constexpr auto kWatcherEnd = 3s;

std::string event_header(const std::string& path) {
    return R"({"id":0,"method":"changed","data":{"path":)" + json(path).dump() + "}}";
}

void watch(AgentClient& c, const std::string& method, const std::string& path) {
    Message m = c.call(method, {{"path", path}});
    EXPECT_EQ(m.header_text, "{\"id\":" + std::to_string(m.id) + "}") << method << " " << path;
    EXPECT_EQ(m.body, "");
}

// Waits for the next event and checks it is exactly the "changed" event for path.
void expect_event(AgentClient& c, const std::string& path, const char* why) {
    std::optional<Message> e = c.next_event(kEventWait);
    ASSERT_TRUE(e) << "no event for " << path << " after " << why;
    EXPECT_EQ(e->header_text, event_header(path)) << why;
    EXPECT_EQ(e->body, "") << why;
}

void expect_quiet(AgentClient& c, std::chrono::milliseconds wait, const char* why) {
    std::optional<Message> e = c.next_event(wait);
    EXPECT_FALSE(e) << "unexpected event " << e->header_text << " after " << why;
    EXPECT_FALSE(c.output_ended()) << "agent output ended during quiet wait after " << why;
}

struct Scenario {
    const char* name;
    std::function<void(TempDir&)> run;
};

void commit_branch_stash(TempDir& tmp) {
    std::string repo = tmp / "repo";
    make_repo(repo);
    AgentClient c(vesk::test::agent_path());
    watch(c, "watch", repo);
    git_in(repo, {"commit", "-q", "--allow-empty", "-m", "second"});
    expect_event(c, repo, "a commit");
    git_in(repo, {"branch", "feature"});
    expect_event(c, repo, "a new branch");
    write_file(repo + "/tracked.txt", "to be stashed\n");
    expect_event(c, repo, "an edit before stashing");
    git_in(repo, {"stash", "-q"});
    expect_event(c, repo, "a stash");
}

void not_a_repository(TempDir& tmp) {
    std::string plain = tmp / "plain";
    ASSERT_EQ(::mkdir(plain.c_str(), 0755), 0);
    write_file(plain + "/file.txt", "content\n");
    AgentClient c(vesk::test::agent_path());
    watch(c, "watch", plain);
    write_file(plain + "/file.txt", "changed, but nobody tracks it\n");
    expect_quiet(c, kQuietWait, "editing a file outside any repository");
    // Discovery is not repeated, but the status listing alone notices the new repository.
    git_in(plain, {"init", "-q"});
    expect_event(c, plain, "making the directory a repository");
}

void missing_path(TempDir& tmp) {
    std::string later = tmp / "later";
    AgentClient c(vesk::test::agent_path());
    watch(c, "watch", later);
    expect_quiet(c, kQuietWait, "watching a path that does not exist");
    ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
    expect_event(c, later, "the directory appearing");
    expect_quiet(c, kQuietWait, "the directory staying as it is");
}

void same_path_twice(TempDir& tmp) {
    std::string repo = tmp / "repo";
    make_repo(repo);
    AgentClient c(vesk::test::agent_path());
    watch(c, "watch", repo);
    watch(c, "watch", repo);
    write_file(repo + "/tracked.txt", "edited\n");
    expect_event(c, repo, "an edit watched twice");
    expect_quiet(c, kWatcherEnd, "the one event of a path watched twice");
    watch(c, "unwatch", repo);
    std::this_thread::sleep_for(kWatcherEnd);
    write_file(repo + "/new.txt", "untracked\n");
    expect_quiet(c, kQuietWait, "a change after the one unwatch");
}

void relative_and_absolute(TempDir& tmp) {
    std::string repo = tmp / "repo";
    make_repo(repo);
    StartOptions options;
    options.argv = {vesk::test::agent_path(), "serve"};
    options.cwd = tmp.path();
    AgentClient c(options);
    watch(c, "watch", "repo");
    watch(c, "watch", repo);
    write_file(repo + "/tracked.txt", "edited\n");
    std::multiset<std::string> seen;
    for (int i = 0; i < 2; ++i) {
        std::optional<Message> e = c.next_event(kEventWait);
        ASSERT_TRUE(e) << "only " << i << " events";
        ASSERT_TRUE(e->data.is_object());
        seen.insert(e->data.value("path", ""));
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"repo", repo}));
    expect_quiet(c, kWatcherEnd, "the two events of one change");
}

void watch_unwatch_watch(TempDir& tmp) {
    std::string repo = tmp / "repo";
    make_repo(repo);
    AgentClient c(vesk::test::agent_path());
    watch(c, "watch", repo);
    watch(c, "unwatch", repo);
    watch(c, "watch", repo);
    // Let the first watcher run its last poll (nothing changed yet) and end.
    std::this_thread::sleep_for(kWatcherEnd);
    write_file(repo + "/tracked.txt", "edited\n");
    expect_event(c, repo, "an edit after watch, unwatch, watch");
    expect_quiet(c, kWatcherEnd, "the one event of the second watcher");
}

void end_of_input(TempDir& tmp) {
    std::string repo = tmp / "repo";
    make_repo(repo);
    AgentClient c(vesk::test::agent_path());
    watch(c, "watch", repo);
    watch(c, "watch", tmp / "missing");
    write_file(repo + "/tracked.txt", "edited before the end\n");
    c.close_input();
    std::optional<int> status = c.wait_exit(kEventWait);
    ASSERT_TRUE(status) << "agent still running after end of input";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
}

TEST(WatchE2E, ScenariosInParallel) {
    const std::vector<Scenario> scenarios = {
        {"commit, branch, stash", commit_branch_stash},
        {"not a repository", not_a_repository},
        {"missing path", missing_path},
        {"same path twice, one unwatch", same_path_twice},
        {"relative and absolute text", relative_and_absolute},
        {"watch, unwatch, watch", watch_unwatch_watch},
        {"end of input with active watches", end_of_input},
    };
    std::vector<std::thread> threads;
    for (const Scenario& s : scenarios) {
        threads.emplace_back([&s] {
            SCOPED_TRACE(s.name);
            try {
                TempDir tmp;
                s.run(tmp);
            } catch (const std::exception& e) {
                ADD_FAILURE() << s.name << ": " << e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace
