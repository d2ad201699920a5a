// The agent under faults, end to end: a reader that goes away, input cut inside a frame, a body
// too large for the memory it may use, no descriptors left, children killed by signals, and a
// burst of thousands of slow requests. After each, the agent's descriptors, threads and child
// processes (read from /proc) must come back to what it held when idle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "git/repo_fixture.h"
#include "support/harness.h"
#include "support/proc_state.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace vesk::test;
using json = nlohmann::json;
using vesk::client::AgentClient;
using vesk::client::encode_request;
using vesk::client::Message;
using vesk::client::StartOptions;

constexpr auto kWait = 60s;

json command_data(int code, const std::string& stderr_text) {
    return {{"code", code}, {"stderr", stderr_text}};
}

// `agent serve` started by a shell that first applies `ulimit <limit>`; exec keeps the pid.
StartOptions limited_agent(const std::string& limit) {
    StartOptions options;
    options.argv = {"/bin/sh", "-c", "ulimit " + limit + " && exec \"$0\" serve", agent_path()};
    return options;
}

Message expect_reply(AgentClient& c, std::uint64_t id, const char* what) {
    std::optional<Message> m = c.wait_reply(id, kWait);
    if (!m) {
        ADD_FAILURE() << "no reply to " << what << " (id " << id << ")";
        return {};
    }
    return *m;
}

// What the agent holds once it runs (past any wrapper shell) and waits for input.
ProcState idle_state(pid_t pid) {
    return settled_state(pid, real_path(agent_path()));
}

// Waits for the agent to hold its idle descriptors and threads again, with no child left
// (running or zombie). Pooled idle workers end 10 s after their last job: allow for that.
void expect_back_to_idle(pid_t pid, const ProcState& idle, const char* after) {
    std::string last;
    if (!back_to_idle(pid, idle, idle.threads + kRuntimeThreads, &last)) {
        ADD_FAILURE() << "not back to idle after " << after << "\nidle: " << idle.describe()
                      << "\nnow:  " << last;
    }
}

void expect_clean_exit(AgentClient& c) {
    c.close_input();
    std::optional<int> status = c.wait_exit(kWait);
    ASSERT_TRUE(status) << "the agent did not exit at end of input";
    EXPECT_EQ(*status, 0) << vesk::client::describe_wait_status(*status) << "; stderr "
                          << c.stderr_text();
}

// ---------------------------------------------------------------------------------------------
// A reader that goes away

// Starts `agent serve` on the given descriptors.
pid_t spawn_agent(int in_fd, int out_fd, int err_fd) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // the agent must ignore it by itself
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::string path = agent_path();
    char serve[] = "serve";
    char* argv[] = {path.data(), serve, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

TEST(FaultE2E, OutputClosedByReaderServiceGoesOn) {
    TempDir dir;
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    int err_fd = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_t pid = spawn_agent(in[0], out[1], err_fd);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err_fd);
    ASSERT_GT(pid, 0);

    // The reader goes away in the middle of a large reply.
    std::string big(8 << 20, 'r');
    write_file(dir / "big", big);
    ASSERT_TRUE(write_all(in[1], encode_request(1, "fs.read", {{"path", dir / "big"}}, {})));
    char head[64];
    std::size_t got = 0;
    while (got < sizeof head) {
        ssize_t n = ::read(out[0], head + got, sizeof head - got);
        ASSERT_GT(n, 0) << "no reply began";
        got += static_cast<std::size_t>(n);
    }
    ::close(out[0]);

    // Requests keep coming after that, in two waves so some replies fail on a pipe whose
    // breakage the agent has already seen.
    std::map<std::string, std::string> files;
    std::vector<std::string> dirs;
    std::uint64_t id = 2;
    for (int wave = 0; wave < 2; ++wave) {
        std::string batch;
        for (int i = 0; i < 60; ++i, ++id) {
            std::string name = "f" + std::to_string(id);
            std::string content = i % 20 == 0
                                      ? std::string(1 << 20, static_cast<char>('a' + i))
                                      : name + std::string(static_cast<std::size_t>(i), 'x');
            files[dir / name] = content;
            batch += encode_request(id, "fs.write", {{"path", dir / name}}, content);
            switch (i % 4) {
                case 0:
                    batch += encode_request(
                        ++id, "exec",
                        {{"cwd", dir.path()}, {"program", "cat"}, {"args", json::array()}},
                        content);
                    break;
                case 1:
                    dirs.push_back(dir / ("d" + std::to_string(id) + "/x"));
                    batch += encode_request(++id, "fs.mkdirp", {{"path", dirs.back()}}, {});
                    break;
                case 2:
                    batch += encode_request(++id, "frob", nullptr, "body");
                    break;
                default:
                    batch += encode_request(++id, "fs.read", {{"path", dir / "big"}}, {});
            }
        }
        ASSERT_TRUE(write_all(in[1], batch)) << "the agent stopped reading";
        std::this_thread::sleep_for(300ms);
    }
    ::close(in[1]);

    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << vesk::client::describe_wait_status(status);
    for (const auto& [path, content] : files) {
        ASSERT_TRUE(path_exists(path)) << path;
        EXPECT_TRUE(read_file(path) == content) << "wrong content in " << path;
    }
    for (const auto& d : dirs) {
        struct stat st;
        EXPECT_TRUE(::stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << d;
    }
    EXPECT_EQ(read_file(dir / "stderr"), "");
}

// ---------------------------------------------------------------------------------------------
// Input that ends inside a frame

TEST(FaultE2E, InputEndingInsideAFrameAnswersOnlyWholeRequests) {
    TempDir dir;
    const std::string first_reply = frame(R"({"id":1})") + frame("");
    struct Cut {
        const char* where;
        std::size_t keep;  // bytes of the second request that arrive; npos: all of it
    };
    // Offsets into the second request, from the length of its header frame's payload.
    const Cut cuts[] = {
        {"inside the header length", 2}, {"inside the header", 4 + 5},
        {"before the body length", 4},   {"inside the body length", 4 + 2},
        {"inside the body", 4 + 4 + 3},  {"nowhere (the control case)", std::string::npos},
    };
    const std::set<std::string_view> after_header = {"before the body length",
                                                     "inside the body length", "inside the body"};
    int n = 0;
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.where);
        std::string a = dir / ("a" + std::to_string(n));
        std::string b = dir / ("b" + std::to_string(n));
        ++n;
        std::string input = encode_request(1, "fs.write", {{"path", a}}, "first");
        const std::string body = "second body";
        std::string second = encode_request(2, "fs.write", {{"path", b}}, body);
        std::size_t keep = cut.keep;
        if (after_header.count(cut.where)) keep += second.size() - 8 - body.size();
        input += second.substr(0, std::min(keep, second.size()));

        auto r = run_process({agent_path(), "serve"}, input);
        EXPECT_EQ(r.status, 0) << "exit " << r.exit_code();
        EXPECT_EQ(r.err, "");
        ASSERT_TRUE(path_exists(a));
        EXPECT_EQ(read_file(a), "first");
        if (cut.keep == std::string::npos) {
            const std::string second_reply = frame(R"({"id":2})") + frame("");
            EXPECT_TRUE(r.out == first_reply + second_reply || r.out == second_reply + first_reply)
                << r.out;
            EXPECT_TRUE(path_exists(b));
        } else {
            EXPECT_EQ(r.out, first_reply);
            EXPECT_FALSE(path_exists(b)) << "the cut request was carried out";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Not enough memory

TEST(FaultE2E, GigabyteBodyUnderMemoryLimit) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
    TempDir dir;
    AgentClient c(limited_agent("-v 400000"));  // KiB: room to run, not for a 1 GiB buffer
    const ProcState idle = idle_state(c.pid());
    ASSERT_EQ(idle.exe, real_path(agent_path())) << c.stderr_text();

    // The largest body a frame may carry.
    const std::string huge = dir / "huge";
    constexpr std::uint32_t kMax = 0x40000000;
    c.send_raw(frame(json{{"id", 1}, {"method", "fs.write"}, {"data", {{"path", huge}}}}.dump()) +
               be32(kMax));
    const std::string chunk(1 << 20, 'z');
    for (std::uint32_t sent = 0; sent < kMax; sent += static_cast<std::uint32_t>(chunk.size())) {
        c.send_raw(chunk);
    }
    Message m = expect_reply(c, 1, "1 GiB fs.write");
    EXPECT_EQ(m.header_text, error_header(1, os_error(ENOMEM)));
    EXPECT_EQ(m.body, "");
    EXPECT_FALSE(path_exists(huge)) << "a refused write touched the file";

    // The stream stayed in step and the service goes on.
    m = c.call("fs.write", {{"path", huge}}, "small");
    EXPECT_EQ(m.header_text, reply_header(m.id));
    EXPECT_EQ(read_file(huge), "small");

    // Replies too large for the memory: a file and a child's output.
    const std::string sparse = dir / "sparse";
    write_file(sparse, "");
    ASSERT_EQ(::truncate(sparse.c_str(), 1 << 30), 0);
    m = c.call("fs.read", {{"path", sparse}});
    EXPECT_EQ(m.header_text, error_header(m.id, os_error(ENOMEM)));
    m = c.call("exec", {{"cwd", "/"},
                        {"program", "head"},
                        {"args", json::array({"-c", "1000000000", "/dev/zero"})}});
    EXPECT_EQ(m.header_text, error_header(m.id, os_error(ENOMEM)));
    EXPECT_EQ(m.body, "");

    m = c.call("exec", {{"cwd", "/"}, {"program", "echo"}, {"args", json::array({"fine"})}});
    EXPECT_EQ(m.header_text, reply_header(m.id, command_data(0, "")));
    EXPECT_EQ(m.body, "fine\n");
    expect_back_to_idle(c.pid(), idle, "allocation failures");
    expect_clean_exit(c);
}

// No id to answer and no safe way to skip the frame: the service ends as for any bad frame.
TEST(FaultE2E, HeaderThatCannotBeAllocatedEndsSilently) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
    auto r = run_process(limited_agent("-v 393216").argv, be32(0x3fffffff) + "{\"id\":1");
    EXPECT_EQ(r.status, 0) << "exit " << r.exit_code() << " signal "
                           << (WIFSIGNALED(r.status) ? WTERMSIG(r.status) : 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// Whoever still waits to open the FIFO for reading is let through when this goes out of scope,
// so a test that fails half-way (or an agent that died) leaves no child blocked for ever.
class FifoReleaser {
  public:
    explicit FifoReleaser(std::string path) : path_(std::move(path)) {}
    ~FifoReleaser() {
        for (int i = 0; i < 20; ++i) {
            int w = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (w < 0) return;  // no reader left
            ::close(w);
            std::this_thread::sleep_for(10ms);
        }
    }

  private:
    std::string path_;
};

// Opens the FIFO for writing again and again, which lets every reader waiting on it through,
// until each of ids is answered or the wait runs out.
std::map<std::uint64_t, Message> release_and_collect(AgentClient& c, const std::string& fifo,
                                                     const std::vector<std::uint64_t>& ids) {
    std::map<std::uint64_t, Message> replies;
    for (auto deadline = std::chrono::steady_clock::now() + kWait;
         replies.size() < ids.size() && std::chrono::steady_clock::now() < deadline;) {
        int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (w >= 0) ::close(w);
        for (std::uint64_t id : ids) {
            if (replies.count(id)) continue;
            if (auto r = c.wait_reply(id, 1ms)) replies.emplace(id, *r);
        }
        std::this_thread::sleep_for(20ms);
    }
    return replies;
}

// Address space of an idle agent, in KiB, as `ulimit -v` counts it.
std::optional<long> idle_address_space_kib() {
    AgentClient probe(agent_path());
    idle_state(probe.pid());
    std::string status = read_file("/proc/" + std::to_string(probe.pid()) + "/status");
    auto at = status.find("VmSize:");
    if (at == std::string::npos) return std::nullopt;
    return std::stol(status.substr(at + 7));
}

// With room for only a few worker stacks, requests beyond those wait for a running worker to
// end instead of ending the agent; every one is answered.
TEST(FaultE2E, WorkerThreadsThatCannotStartWaitForRunningOnes) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
    std::optional<long> idle_kib = idle_address_space_kib();
    ASSERT_TRUE(idle_kib);
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FifoReleaser releaser(fifo);
    // About a dozen 2 MiB worker stacks fit; the holders below want more.
    AgentClient c(limited_agent("-v " + std::to_string(*idle_kib + 24 * 1024)));
    const ProcState idle = idle_state(c.pid());
    ASSERT_EQ(idle.exe, real_path(agent_path())) << c.stderr_text();

    constexpr int kHolders = 40;
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < kHolders; ++i) ids.push_back(c.send("fs.read", {{"path", fifo}}));
    // The agent runs as many as it can; wait until their number stops growing.
    std::size_t peak = 0;
    for (int stable = 0; stable < 10;) {
        std::size_t now = proc_state(c.pid()).threads;
        stable = now == peak ? stable + 1 : 0;
        peak = std::max(peak, now);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LT(peak, idle.threads + kHolders) << "the cap left room for every worker";

    std::map<std::uint64_t, Message> replies = release_and_collect(c, fifo, ids);
    ASSERT_EQ(replies.size(), ids.size())
        << "requests left unanswered; agent " << c.failure().value_or("alive");
    for (const auto& [id, m] : replies) {
        EXPECT_EQ(m.header_text, reply_header(id));
        EXPECT_EQ(m.body, "");
    }
    Message m = c.call("fs.stat", {{"path", fifo}});
    EXPECT_FALSE(m.error) << m.header_text;
    expect_back_to_idle(c.pid(), idle, "the thread shortage");
    expect_clean_exit(c);
}

// ---------------------------------------------------------------------------------------------
// No descriptors left

TEST(FaultE2E, DescriptorExhaustionAndRecovery) {
    // Its dynamic-type check probes memory through a pipe; with no descriptor left that fails
    // and every virtual call is reported as a call on an invalid object.
    if (kUndefinedSanitizer) GTEST_SKIP() << "UndefinedBehaviorSanitizer needs free descriptors";
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FifoReleaser releaser(fifo);
    const std::string file = dir / "file";
    write_file(file, "content");

    AgentClient c(limited_agent("-n 32"));
    const ProcState idle = idle_state(c.pid());
    ASSERT_EQ(idle.exe, real_path(agent_path())) << c.stderr_text();

    // Holders that wait on a FIFO nobody writes: children whose output pipes the agent holds,
    // and reads that hold a descriptor each while their open waits for a writer.
    auto answered = [&c](std::uint64_t id) {
        for (const Message& m : c.transcript()) {
            if (m.id == id) return true;
        }
        return false;
    };
    std::vector<std::uint64_t> execs, reads;
    for (int i = 0; i < 4; ++i) {
        execs.push_back(c.send(
            "exec", {{"cwd", dir.path()}, {"program", "cat"}, {"args", json::array({fifo})}}));
    }
    // Starting a child takes descriptors for a moment: let those starts end first, so that
    // none frees a slot after the reads below have taken the rest.
    for (auto deadline = std::chrono::steady_clock::now() + 30s;;) {
        std::size_t settled = 0;
        for (const ChildInfo& ci : children_of(c.pid())) settled += ci.comm == "cat";
        for (std::uint64_t id : execs) settled += answered(id);
        if (settled == execs.size()) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "exec holders never settled";
        std::this_thread::sleep_for(20ms);
    }
    for (int i = 0; i < 40; ++i) reads.push_back(c.send("fs.read", {{"path", fifo}}));

    // Exhausted for good once several probes in a row find no descriptor; a probe that gets
    // one means the holders have not filled every slot yet, so more are sent.
    const std::string emfile = os_error(EMFILE);
    int refusals_in_a_row = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 30s; refusals_in_a_row < 5;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "descriptors never ran out: " << proc_state(c.pid()).describe();
        Message m = c.call("fs.read", {{"path", file}});
        if (m.error == emfile) {
            ++refusals_in_a_row;
        } else {
            ASSERT_EQ(m.header_text, reply_header(m.id)) << "neither the file nor " << emfile;
            EXPECT_EQ(m.body, "content");
            refusals_in_a_row = 0;
            for (int i = 0; i < 4; ++i) reads.push_back(c.send("fs.read", {{"path", fifo}}));
        }
        std::this_thread::sleep_for(100ms);
    }

    // While nothing is left, what needs a descriptor fails with the system's text and what
    // does not still works.
    auto is_start_failure = [&](const Message& m) {
        return m.header_text == error_header(m.id, emfile) ||
               m.header_text == reply_header(m.id, command_data(-1, emfile));
    };
    Message m = c.call("fs.read", {{"path", file}});
    EXPECT_EQ(m.header_text, error_header(m.id, emfile));
    m = c.call("fs.readdir", {{"path", dir.path()}});
    EXPECT_EQ(m.header_text, error_header(m.id, emfile));
    m = c.call("fs.write", {{"path", dir / "new"}}, "new");
    EXPECT_EQ(m.header_text, error_header(m.id, emfile));
    EXPECT_FALSE(path_exists(dir / "new"));
    m = c.call("exec", {{"cwd", "/"}, {"program", "true"}, {"args", json::array()}});
    EXPECT_TRUE(is_start_failure(m)) << m.header_text;
    EXPECT_EQ(m.body, "");
    m = c.call("git", {{"cwd", "/"}, {"args", json::array({"--version"})}});
    EXPECT_TRUE(is_start_failure(m)) << m.header_text;
    m = c.call("fs.stat", {{"path", file}});
    EXPECT_EQ(m.header_text, reply_header(m.id, {{"exists", true}, {"is_dir", false}, {"len", 7}}));
    m = c.call("fs.countlines", {{"paths", json::array({file})}});
    EXPECT_EQ(m.header_text, reply_header(m.id, json::array({nullptr})));
    m = c.call("hello");
    EXPECT_FALSE(m.error) << m.header_text;

    // Let the holders go.
    std::vector<std::uint64_t> holders = execs;
    holders.insert(holders.end(), reads.begin(), reads.end());
    std::map<std::uint64_t, Message> held = release_and_collect(c, fifo, holders);
    ASSERT_EQ(held.size(), execs.size() + reads.size()) << "holders left unanswered";
    int refused = 0;
    for (std::uint64_t id : execs) {
        const Message& r = held[id];
        if (is_start_failure(r)) {
            ++refused;
        } else {
            EXPECT_EQ(r.header_text, reply_header(id, command_data(0, "")));
        }
        EXPECT_EQ(r.body, "");
    }
    for (std::uint64_t id : reads) {
        const Message& r = held[id];
        if (r.error) {
            ++refused;
            EXPECT_EQ(r.header_text, error_header(id, emfile));
        } else {
            EXPECT_EQ(r.header_text, reply_header(id));
        }
        EXPECT_EQ(r.body, "");
    }
    EXPECT_GT(refused, 0) << "no holder was refused, so the limit was never reached by them";

    // Recovery.
    m = c.call("fs.read", {{"path", file}});
    EXPECT_EQ(m.header_text, reply_header(m.id));
    EXPECT_EQ(m.body, "content");
    m = c.call("exec", {{"cwd", "/"}, {"program", "echo"}, {"args", json::array({"back"})}});
    EXPECT_EQ(m.header_text, reply_header(m.id, command_data(0, "")));
    EXPECT_EQ(m.body, "back\n");
    m = c.call("fs.write", {{"path", dir / "new"}}, "new");
    EXPECT_EQ(m.header_text, reply_header(m.id));
    expect_back_to_idle(c.pid(), idle, "descriptor exhaustion");
    expect_clean_exit(c);
}

// ---------------------------------------------------------------------------------------------
// Children killed by signals

TEST(FaultE2E, ChildrenKilledBySignals) {
    AgentClient c(agent_path());
    const ProcState idle = idle_state(c.pid());

    // SIGPIPE included: children must start with its default action although the agent
    // ignores it; a child that inherited "ignore" would go on to exit 7.
    const char* const signals[] = {"KILL", "TERM", "HUP", "USR1", "PIPE", "ALRM"};
    std::vector<std::pair<std::uint64_t, const char*>> sent;
    for (const char* name : signals) {
        std::string script = std::string("printf partial; kill -") + name + " $$; exit 7";
        sent.emplace_back(
            c.send("exec",
                   {{"cwd", "/"}, {"program", "sh"}, {"args", json::array({"-c", script})}}),
            name);
    }
    for (const auto& [id, name] : sent) {
        SCOPED_TRACE(name);
        Message m = expect_reply(c, id, name);
        EXPECT_EQ(m.header_text, reply_header(id, command_data(-1, "")));
        EXPECT_EQ(m.body, "partial");
    }

    // Killed from outside while the agent waits for it.
    std::uint64_t id =
        c.send("exec", {{"cwd", "/"}, {"program", "sleep"}, {"args", json::array({"600"})}});
    std::optional<pid_t> child;
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         !child && std::chrono::steady_clock::now() < deadline;) {
        for (const ChildInfo& ci : children_of(c.pid())) {
            if (ci.comm == "sleep") child = ci.pid;
        }
        if (!child) std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(child) << "the sleep child never showed up";
    ASSERT_EQ(::kill(*child, SIGKILL), 0);
    Message m = expect_reply(c, id, "killed sleep");
    EXPECT_EQ(m.header_text, reply_header(id, command_data(-1, "")));
    EXPECT_EQ(m.body, "");

    expect_back_to_idle(c.pid(), idle, "killed children");
    expect_clean_exit(c);
}

// ---------------------------------------------------------------------------------------------
// Thousands of slow requests at once

TEST(FaultE2E, BurstOfSlowRequestsAllAnswered) {
    constexpr int kBurst = 2000;
    // Each running child costs the agent two pipe descriptors.
    constexpr rlim_t kNeeded = 2 * kBurst + 256;
    rlimit nofile{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &nofile), 0);
    if (nofile.rlim_max != RLIM_INFINITY && nofile.rlim_max < kNeeded) {
        GTEST_SKIP() << "descriptor limit " << nofile.rlim_max << " is below " << kNeeded;
    }
    AgentClient c(nofile.rlim_cur >= kNeeded ? vesk::client::local_start(agent_path())
                                             : limited_agent("-n " + std::to_string(kNeeded)));
    const ProcState idle = idle_state(c.pid());

    const json sleep = {{"cwd", "/"}, {"program", "sleep"}, {"args", json::array({"0.5"})}};
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < kBurst; ++i) ids.push_back(c.send("exec", sleep));
    std::size_t answered = 0, wrong = 0;
    auto deadline = std::chrono::steady_clock::now() + 300s;
    for (std::uint64_t id : ids) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::optional<Message> m = c.wait_reply(id, std::max(left, std::chrono::milliseconds(1)));
        if (!m) continue;
        ++answered;
        if (m->header_text != reply_header(id, command_data(0, "")) || !m->body.empty()) {
            if (++wrong <= 5) ADD_FAILURE() << "reply " << m->header_text;
        }
    }
    EXPECT_EQ(answered, ids.size());
    EXPECT_EQ(wrong, 0u);
    expect_back_to_idle(c.pid(), idle, "the burst");
    expect_clean_exit(c);
}

}  // namespace
