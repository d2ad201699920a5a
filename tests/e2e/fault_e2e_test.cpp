// The agent under faults and load, one row each: a reader that goes away, a body too large for
// the memory it may use, no threads or descriptors left, a long mixed load with events (bursts
// of blocked requests are in the concurrency tests). A row starts the agent it needs (through the
// client, or raw for byte-level faults), under its ulimit; an agent still running after the row
// must come back to what it held when idle (descriptors, threads, no child) and end with status 0
// at end of input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "git/repo_fixture.h"
#include "support/harness.h"
#include "support/proc_state.h"

namespace {

using namespace vesk::test;
using namespace std::chrono_literals;
using vesk::client::AgentClient;

// What a row works with. agent() and raw() start the agent, under `ulimit` when set.
struct Faulty {
    TempDir dir;
    std::string ulimit;
    std::unique_ptr<AgentClient> client;
    std::unique_ptr<Proc> proc;
    ProcState idle;
    bool ended = false;  // the row let the agent end

    AgentClient& agent() {
        client = std::make_unique<AgentClient>(agent_options({}, dir.path(), ulimit));
        idle = idle_state(client->pid());
        return *client;
    }
    Proc& raw(bool read_output = true) {
        proc = std::make_unique<Proc>(serve_options({}, dir.path(), ulimit), read_output);
        idle = idle_state(proc->pid());
        return *proc;
    }
};

struct Fault {
    const char* name;
    const char* ulimit;  // for the agent; "-v": an address-space cap
    void (*run)(Faulty&);
};

// The reader goes away in the middle of a large reply; requests keep coming, in two waves so
// some replies fail on a pipe already known to be broken. Every change is still made.
void closed_output(Faulty& f) {
    Proc& p = f.raw(false);
    const std::string big = f.dir / "big";
    write_file(big, std::string(8 << 20, 'r'));
    p.send(request(1, "fs.read", at(big)));
    char head[64];
    for (std::size_t got = 0; got < sizeof head;) {
        ssize_t n = ::read(p.child.out.get(), head + got, sizeof head - got);
        ASSERT_GT(n, 0) << "no reply began";
        got += static_cast<std::size_t>(n);
    }
    p.child.out.reset();
    std::vector<std::pair<std::string, std::string>> files;
    std::uint64_t id = 2;
    for (int wave = 0; wave < 2; ++wave) {
        std::string batch;
        for (int i = 0; i < 40; ++i) {
            std::string name = f.dir / ("f" + std::to_string(id));
            files.emplace_back(name,
                               i % 20 ? name : std::string(1 << 20, static_cast<char>('a' + i)));
            batch += request(id, "fs.write", at(name), files.back().second);
            batch += request(id + 1, "exec", run("/", "cat", {}), files.back().second);
            batch += request(id + 2, "frob", nullptr, "body") + request(id + 3, "fs.read", at(big));
            id += 4;
        }
        ASSERT_TRUE(p.send(batch)) << "the agent stopped reading";
        std::this_thread::sleep_for(300ms);
    }
    p.close_input();
    EXPECT_EQ(p.finish(), 0);
    for (const auto& [path, content] : files) EXPECT_TRUE(state_of(path) == content) << path;
    EXPECT_EQ(p.err(), "");
    f.ended = true;
}

// The largest body a frame may carry cannot be allocated: refused without touching the file,
// and the stream stays in step. Replies too large for the memory are refused likewise.
void gigabyte_body(Faulty& f) {
    Proc& p = f.raw();
    const std::string huge = f.dir / "huge", sparse = f.dir / "sparse";
    std::string head = request(1, "fs.write", at(huge));
    p.send(head.replace(head.size() - 4, 4, be32(vesk::kMaxFrameLen)));
    const std::string chunk(1 << 20, 'z');
    for (std::uint32_t sent = 0; sent < vesk::kMaxFrameLen; sent += 1 << 20) p.send(chunk);
    const std::string enomem = err(os_error(ENOMEM));
    EXPECT_EQ(p.messages(1), std::vector<Msg>{reply(1, enomem)});
    EXPECT_FALSE(path_exists(huge)) << "a refused write touched the file";
    write_file(sparse, "");
    ASSERT_EQ(::truncate(sparse.c_str(), 1 << 30), 0);
    // One at a time, so each reply is the next message.
    const std::pair<std::string, Msg> calls[] = {
        {request(2, "fs.write", at(huge), "small"), reply(2, ok())},
        {request(3, "fs.read", at(sparse)), reply(3, enomem)},
        {request(4, "exec", run("/", "head", {"-c", "1000000000", "/dev/zero"})), reply(4, enomem)},
        {request(5, "exec", run("/", "echo", {"fine"})), reply(5, done(0), "fine\n")}};
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        p.send(calls[i].first);
        std::vector<Msg> got = p.messages(i + 2);
        EXPECT_EQ(got.size() > i + 1 ? got[i + 1] : Msg{}, calls[i].second);
    }
    EXPECT_EQ(state_of(huge), "small");
}

// Lets every read waiting to open the FIFO through until each of ids is answered.
std::vector<vesk::client::Message> release(AgentClient& c, const std::string& fifo,
                                           const std::vector<std::uint64_t>& ids) {
    std::vector<vesk::client::Message> replies;
    for (std::uint64_t id : ids) {
        std::optional<vesk::client::Message> m;
        for (int i = 0; i < 3000 && !m; ++i) {
            if (int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); w >= 0) ::close(w);
            m = c.wait_reply(id, 10ms);
        }
        replies.push_back(m.value_or(vesk::client::Message{}));
        EXPECT_TRUE(m) << "request " << id << " was never answered";
    }
    return replies;
}

// Room for only a few worker stacks: requests beyond those wait for a running one to end
// instead of ending the agent, and every one is answered.
void thread_shortage(Faulty& f) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
    AgentClient& c = f.agent();
    const std::string status = read_file("/proc/" + std::to_string(c.pid()) + "/status");
    const rlim_t idle = std::stoul(status.substr(status.find("VmSize:") + 7)) * 1024;
    const rlimit cap{idle + (24 << 20), idle + (24 << 20)};  // a dozen 2 MiB stacks
    ASSERT_EQ(::prlimit(c.pid(), RLIMIT_AS, &cap, nullptr), 0);
    const std::string fifo = f.dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 40; ++i) ids.push_back(c.send("fs.read", at(fifo)));
    std::size_t peak = 0;
    for (int stable = 0; stable < 10; std::this_thread::sleep_for(50ms)) {
        std::size_t now = proc_state(c.pid()).threads;
        stable = now == peak ? stable + 1 : 0;
        peak = std::max(peak, now);
    }
    EXPECT_LT(peak, f.idle.threads + ids.size()) << "the cap left room for every worker";
    for (const auto& m : release(c, fifo, ids))
        EXPECT_EQ(m.header_text, "{\"id\":" + std::to_string(m.id) + "}");
}

// Reads of a FIFO nobody writes hold a descriptor each while their open waits: with all of
// them taken, what needs one fails with the system's text, what does not still works, and
// everything works again once they are let go.
void descriptors(Faulty& f) {
    if (kUndefinedSanitizer)  // it probes memory through a pipe: it needs descriptors
        GTEST_SKIP() << "UndefinedBehaviorSanitizer needs free descriptors";
    AgentClient& c = f.agent();
    const std::string fifo = f.dir / "fifo", file = f.dir / "file", emfile = os_error(EMFILE);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write_file(file, "content");
    std::vector<std::uint64_t> holders;
    for (int refused = 0, i = 0; refused < 5; ++i) {  // exhausted once several probes find none
        ASSERT_LT(i, 300) << "descriptors never ran out";
        for (int k = 0; k < 4 && refused == 0; ++k) holders.push_back(c.send("fs.read", at(fifo)));
        std::this_thread::sleep_for(100ms);
        refused = c.call("fs.read", at(file)).error == emfile ? refused + 1 : 0;
    }
    expect_replies(c, {{"fs.read", at(file), "", err(emfile)},
                       {"fs.readdir", at(f.dir.path()), "", err(emfile)},
                       {"fs.write", at(f.dir / "new"), "new", err(emfile)},
                       {"fs.stat", at(file), "", ok(R"({"exists":true,"is_dir":false,"len":7})")},
                       {"fs.countlines", {{"paths", {file}}}, "", ok("[null]")}});
    for (const char* method : {"exec", "git"}) {
        vesk::client::Message m =
            c.call(method, {{"cwd", "/"}, {"program", "true"}, {"args", json::array()}});
        EXPECT_TRUE(m.error == emfile ||
                    m.header_text == "{\"id\":" + std::to_string(m.id) + done(-1, emfile))
            << m.header_text;
    }
    for (const auto& m : release(c, fifo, holders))  // each got its descriptor, or was refused
        EXPECT_EQ(m.header_text,
                  "{\"id\":" + std::to_string(m.id) + (m.error ? err(emfile) : ok()));
    expect_replies(c, {{"fs.read", at(file), "", ok(), "content"},
                       {"exec", run("/", "echo", {"back"}), "", done(0), "back\n"},
                       {"fs.write", at(f.dir / "new"), "new", ok()}});
}

// A mixed load from several client threads while watched repositories change, so events
// interleave with replies. Only what a load can show is checked here (each method's replies are
// the tables' business): every request answered exactly once with its own reply, events exact,
// every file written whole.
void mixed_load(Faulty& f) {
    constexpr int kThreads = 4;
    const int per_thread = (kThreadSanitizer ? 150 : kAddressSanitizer ? 250 : 500);
    const TempDir& tmp = f.dir;
    std::vector<std::string> blobs, repos;
    std::mt19937_64 rng(7);
    for (std::size_t n : {0u, 1u, 65537u, 6u << 20}) {
        std::string& blob = blobs.emplace_back(n, '\0');
        for (char& ch : blob) ch = static_cast<char>(rng());
        write_file(tmp / ("blob" + std::to_string(blobs.size() - 1)), blob);
    }
    std::set<std::string> events_wanted;
    for (int i = 0; i < 3; ++i) {
        repos.push_back(tmp / ("repo" + std::to_string(i)));
        make_repo(repos.back());
        events_wanted.insert(R"({"id":0,"method":"changed","data":{"path":)" +
                             json(repos.back()).dump() + "}}");
    }
    ::mkdir((tmp / "w").c_str(), 0755);
    AgentClient& c = f.agent();
    std::atomic<int> events{0}, bad_events{0};
    c.set_event_handler([&](const vesk::client::Message& m) {
        ++events;
        if (!events_wanted.count(m.header_text) || !m.body.empty()) ++bad_events;
    });
    for (const auto& repo : repos) expect_replies(c, {{"watch", {{"path", repo}}, "", ok()}});
    std::atomic<bool> stop{false};
    std::thread mutator([&] {
        for (int tick = 0; !stop; ++tick, std::this_thread::sleep_for(300ms))
            for (const auto& repo : repos) write_file(repo + "/tracked.txt", std::to_string(tick));
    });
    std::mutex mu;
    std::vector<std::string> problems;
    std::vector<std::uint64_t> all_ids;
    std::vector<std::pair<std::string, std::size_t>> written;
    auto client = [&](int t) {
        std::mt19937_64 r(static_cast<std::uint64_t>(t));
        std::deque<std::tuple<std::uint64_t, std::string, std::string>> window;  // id, reply, body
        auto settle = [&] {
            auto [id, want, body] = window.front();
            window.pop_front();
            std::optional<vesk::client::Message> m = c.wait_reply(id, kWait);
            std::lock_guard<std::mutex> lock(mu);
            all_ids.push_back(id);
            if (!m || m->header_text != "{\"id\":" + std::to_string(id) + want || m->body != body)
                problems.push_back(m ? m->header_text : "no reply to " + std::to_string(id));
        };
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < per_thread; ++i) {
            std::this_thread::sleep_until(begin + 6s * i / per_thread);  // across several polls
            const std::size_t b = r() % blobs.size();
            const std::string out = "w/" + std::to_string(t) + "-" + std::to_string(i);
            const json cat = run(".", "cat", {}),
                       show = {{"cwd", repos[b % 3]},
                               {"args", {"cat-file", "-p", "HEAD:tracked.txt"}}};
            switch (r() % 5) {
                case 0:
                    window.emplace_back(c.send("fs.read", at("blob" + std::to_string(b))), ok(),
                                        blobs[b]);
                    break;
                case 1:
                    window.emplace_back(c.send("exec", cat, blobs[b]), done(0), blobs[b]);
                    break;
                case 2: {
                    window.emplace_back(c.send("fs.write", at(out), blobs[b]), ok(), "");
                    std::lock_guard<std::mutex> lock(mu);
                    written.emplace_back(out, b);
                    break;
                }
                case 3:
                    window.emplace_back(c.send("frob", nullptr, blobs[b]),
                                        err(R"(unknown method "frob")"), "");
                    break;
                default:
                    window.emplace_back(c.send("git", show), done(0), "one\n");
            }
            if (window.size() >= 12) settle();
        }
        while (!window.empty()) settle();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(client, t);
    for (auto& t : threads) t.join();
    stop = true;
    mutator.join();

    EXPECT_EQ(problems.size(), 0u) << problems.size() << " wrong replies, first: " << problems[0];
    EXPECT_EQ(all_ids.size(), std::size_t{kThreads} * per_thread);
    EXPECT_GT(events.load(), 0) << "no event came while the load ran";
    EXPECT_EQ(bad_events.load(), 0);
    for (const std::string& p : repos) expect_replies(c, {{"unwatch", {{"path", p}}, "", ok()}});
    back_to_idle(c.pid(), f.idle);
    for (std::uint64_t id : all_ids)
        EXPECT_FALSE(c.wait_reply(id, 0ms)) << "a second reply to " << id;
    for (const auto& [path, b] : written) EXPECT_TRUE(read_file(tmp / path) == blobs[b]) << path;
}

const Fault kFaults[] = {
    {"closed_output", "", closed_output},     {"gigabyte_body", "-v 400000", gigabyte_body},
    {"thread_shortage", "", thread_shortage},  // capped once idle
    {"descriptors", "-n 32", descriptors},    {"mixed_load", "", mixed_load},
};

void PrintTo(const Fault& f, std::ostream* os) {
    *os << f.name;
}

class FaultE2E : public testing::TestWithParam<Fault> {};

TEST_P(FaultE2E, ServiceGoesOnAndComesBackToIdle) {
    const Fault& fault = GetParam();
    if (kSanitized && std::string_view(fault.ulimit).starts_with("-v"))
        GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
    Faulty f;
    f.ulimit = fault.ulimit;
    fault.run(f);
    if (f.ended || HasFatalFailure() || IsSkipped() || (!f.client && !f.proc)) return;
    back_to_idle(f.client ? f.client->pid() : f.proc->pid(), f.idle);
    if (f.client) f.client->close_input();
    if (f.proc) f.proc->close_input();
    EXPECT_EQ(f.client ? f.client->wait_exit(kWait) : f.proc->finish(), 0) << "at end of input";
}

INSTANTIATE_TEST_SUITE_P(Table, FaultE2E, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault>& i) { return i.param.name; });

}  // namespace
