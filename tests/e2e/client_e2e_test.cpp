// The client library against the real agent and against stand-in agents that misbehave. The
// vesk tool's tests reach every typed helper and error reply; these cover what it does not.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "git/repo_fixture.h"
#include "support/harness.h"

namespace {

using nlohmann::json;
using vesk::client::AgentClient;
using vesk::client::AgentError;
using vesk::client::RequestError;
using vesk::client::StartOptions;
using vesk::test::os_error;
using vesk::test::TempDir;
using vesk::test::write_file;

std::string make_script(const TempDir& dir, const std::string& name, const std::string& body) {
    std::string path = dir / name;
    write_file(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// A call that fails must fail with AgentError, and long before the generous limit given here
// (a hang shows up as "no reply ... in time" instead of the cause).
std::string agent_error_of(AgentClient& c, const std::string& method) {
    try {
        c.call(method, json{{"path", "/"}}, {}, std::chrono::seconds(30));
    } catch (const AgentError& e) {
        return e.what();
    }
    ADD_FAILURE() << method << " did not fail";
    return {};
}

TEST(ClientE2E, ConcurrentCallersEachGetTheirOwnReply) {
    AgentClient c(vesk::test::agent_path());
    constexpr int kThreads = 8;
    constexpr int kCalls = 15;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                std::string token = "t" + std::to_string(t) + "-" + std::to_string(i);
                // Threads sleep for different times so replies come back out of order.
                auto r = c.exec(".", "sh",
                                {"-c", "sleep 0.0$1; printf %s \"$2\"", "sh",
                                 std::to_string((t * 7 + i) % 10), token});
                if (r.stdout_bytes != token) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(ClientE2E, EventsReachTheCallbackOnlyWhileOneIsSet) {
    TempDir dir;
    std::string repo = dir / "repo";
    vesk::test::make_repo(repo);

    AgentClient c(vesk::test::agent_path());
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> seen;
    c.set_event_handler([&](const vesk::client::Message& m) {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(m.method.value_or("") + " " + m.data.value("path", ""));
        cv.notify_all();
    });
    c.watch(repo);
    write_file(repo + "/tracked.txt", "2\n");
    {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, std::chrono::seconds(15), [&] { return !seen.empty(); });
        ASSERT_FALSE(seen.empty()) << "no event within 15 s";
        EXPECT_EQ(seen[0], "changed " + repo);
    }
    EXPECT_FALSE(c.next_event(std::chrono::milliseconds(0))) << "callback events are not queued";

    c.set_event_handler({});
    write_file(repo + "/b", "untracked\n");
    auto queued = c.next_event(std::chrono::seconds(15));
    ASSERT_TRUE(queued) << "without a callback events are queued";
    EXPECT_EQ(queued->data.value("path", ""), repo);
}

TEST(ClientE2E, AnAgentThatDiesFailsPendingAndLaterCallsWithItsStatusAndStderr) {
    TempDir dir;
    // Reads a little of the request, complains and exits 3 without answering.
    std::string fake = make_script(
        dir, "dying-agent", "head -c 4 >/dev/null\necho 'fatal: disk on fire' >&2\nexit 3\n");
    StartOptions o;
    o.argv = {fake, "serve"};
    AgentClient c(o);
    std::string first = agent_error_of(c, "fs.stat");
    EXPECT_NE(first.find("exited with status 3"), std::string::npos) << first;
    EXPECT_NE(first.find("fatal: disk on fire"), std::string::npos) << first;
    // Later calls fail with the same cause instead of writing into a dead pipe and waiting.
    EXPECT_EQ(agent_error_of(c, "hello"), first);
    EXPECT_TRUE(c.output_ended());
    EXPECT_FALSE(c.output_malformed());
}

TEST(ClientE2E, CallersWaitingInOtherThreadsAreWokenByTheDeath) {
    TempDir dir;
    // Exits once the second request has begun to arrive, so both are pending.
    std::string fake = make_script(dir, "agent", "head -c 40 >/dev/null\nexit 5\n");
    StartOptions o;
    o.argv = {fake};
    AgentClient c(o);
    std::vector<std::string> errors(3);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] { errors[i] = agent_error_of(c, "fs.stat"); });
    for (auto& t : threads) t.join();
    for (const std::string& e : errors)
        EXPECT_NE(e.find("exited with status 5"), std::string::npos) << e;
}

TEST(ClientE2E, MalformedOutputFailsCallsInsteadOfHanging) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string script;
        std::string expect;
    };
    std::vector<Case> cases = {
        // A complete frame pair whose header is not JSON; the stand-in stays alive reading.
        {"header not json",
         "printf '\\000\\000\\000\\005hello\\000\\000\\000\\000'\ncat >/dev/null\n",
         "not a valid envelope"},
        {"header without id",
         "printf '\\000\\000\\000\\002{}\\000\\000\\000\\000'\ncat >/dev/null\n",
         "not a valid envelope"},
        // Stops in the middle of a frame and exits.
        {"truncated frame", "printf '\\000\\000\\000\\040{\"id\":1'\nexit 0\n",
         "ended inside a message"},
    };
    for (const Case& k : cases) {
        std::string fake = make_script(dir, "agent", k.script);
        StartOptions o;
        o.argv = {fake};
        AgentClient c(o);
        std::string e = agent_error_of(c, "hello");
        EXPECT_NE(e.find(k.expect), std::string::npos) << k.what << ": " << e;
        EXPECT_TRUE(c.output_malformed()) << k.what;
    }
}

TEST(ClientE2E, AProgramThatCannotStartIsReportedAtConstruction) {
    StartOptions o;
    o.argv = {"/nonexistent/vesk-agent", "serve"};
    EXPECT_THROW(AgentClient c(o), std::runtime_error);
}

TEST(ClientE2E, SshStartQuotesTheRemoteCommandAndRefusesOptionLikeHosts) {
    EXPECT_EQ(vesk::client::ssh_start("box").argv,
              (std::vector<std::string>{"ssh", "box", "vesk-agent serve"}));
    EXPECT_EQ(vesk::client::ssh_start("box", "/opt/my agent/vesk-agent").argv[2],
              "'/opt/my agent/vesk-agent' serve");
    EXPECT_EQ(vesk::client::ssh_start("box", "it's").argv[2], "'it'\\''s' serve");
    EXPECT_EQ(vesk::client::ssh_start("box", "~/bin/vesk-agent").argv[2], "~/bin/vesk-agent serve");
    EXPECT_EQ(vesk::client::ssh_start("box", "~/my bin/a").argv[2], "~/'my bin/a' serve");
    EXPECT_THROW(vesk::client::ssh_start("-oProxyCommand=x"), std::invalid_argument);
    EXPECT_THROW(vesk::client::ssh_start(""), std::invalid_argument);
}

TEST(ClientE2E, LargeTransfersReportProgressInBothDirections) {
    TempDir dir;
    AgentClient c(vesk::test::agent_path());
    std::mutex mu;
    std::uint64_t last_sent = 0, last_received = 0, total_sent = 0, total_received = 0;
    c.set_progress_handler(
        [&](bool sending, std::uint64_t done, std::uint64_t total) {
            std::lock_guard<std::mutex> lock(mu);
            (sending ? last_sent : last_received) = done;
            (sending ? total_sent : total_received) = total;
        },
        1u << 20);
    std::string content(3u << 20, 'x');
    c.write_file(dir / "big", content);
    EXPECT_EQ(c.read_file(dir / "big").size(), content.size());
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(last_sent, total_sent);
    EXPECT_GT(total_sent, content.size());  // the whole request, header included
    EXPECT_EQ(last_received, content.size());
    EXPECT_EQ(total_received, content.size());
}

}  // namespace
