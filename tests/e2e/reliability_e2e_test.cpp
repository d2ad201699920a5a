// What the agent promises about time and order (no request waits behind another that blocks;
// writes to one path land in arrival order; end of input waits for changes but never for a
// reader that stopped reading, a pipe that never opens or a program, and hangs up running
// children), and the agent under faults and load, one row each: a reader that goes away, a body too
// large for the memory it may use, no threads or descriptors left, a long mixed load with events
// (bursts of blocked requests are in the concurrency tests). A row starts the agent it needs
// (through the client, or raw for byte-level faults), under its ulimit; an agent still running
// after the row must come back to what it held when idle (descriptors, threads, no child) and end
// with status 0 at end of input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "support/harness.h"
#include "support/proc_state.h"
#include "support/repo_fixture.h"

namespace {

using namespace std::chrono_literals;
using namespace vesk::test;
using vesk::client::AgentClient;

TEST(Reliability, PipelinedWritesToOnePathEndAsTheLastOne) {
    TempDir dir;
    Proc p(serve_options());
    const std::string big(2 << 20, 'A');
    constexpr int kPairs = 20;
    std::string batch;
    for (int i = 0; i < kPairs; ++i) {
        // The record may come as an object or as an array: the order holds for either.
        const std::string f = dir / std::to_string(i);
        const json first = i % 3 == 1 ? json::array({f}) : at(f);
        const json second = i % 3 == 2 ? json::array({f}) : at(f);
        batch += request(2 * i + 1, "fs.write", first, big) +
                 request(2 * i + 2, "fs.write", second, "B");
    }
    ASSERT_TRUE(p.send(batch));
    ASSERT_EQ(p.messages(2 * kPairs).size(), 2u * kPairs);
    for (int i = 0; i < kPairs; ++i) EXPECT_TRUE(read_file(dir / std::to_string(i)) == "B") << i;
}

// A watch and an unwatch of one path text, pipelined, act as sent: the path ends unwatched, so a
// change after them gives no event.
TEST(Reliability, PipelinedWatchAndUnwatchOfOnePathActAsSent) {
    TempDir dir;
    const std::string repo = dir / "repo";
    make_repo(repo);
    Proc p(serve_options());
    std::string batch;
    for (int i = 0; i < 5; ++i)
        batch += request(2 * i + 1, "watch", at(repo)) + request(2 * i + 2, "unwatch", at(repo));
    p.send(batch);
    ASSERT_EQ(p.messages(10).size(), 10u);
    std::this_thread::sleep_for(3s);  // a stopped watcher still finishes the poll it slept for
    const std::size_t before = p.messages(11, 0ms).size();
    write_file(repo + "/tracked.txt", "changed\n");
    std::this_thread::sleep_for(5s);  // two polls and their status runs
    EXPECT_EQ(p.messages(before + 1, 0ms).size(), before) << "the path stayed watched";
}

// A signal that ends the agent hangs up its programs first, as end of input does, and the agent
// then ends by that signal.
TEST(Reliability, AnEndingSignalHangsUpTheProgramsFirst) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        Proc p(serve_options());
        const std::string script = "echo $$ > pid.tmp; mv pid.tmp pid; while :; do sleep 1; done";
        p.send(request(1, "exec", run(dir.path(), "sh", {"-c", script})));
        for (int i = 0; i < 500 && state_of(dir / "pid") == kGone; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(::kill(p.pid(), sig), 0);
        std::optional<int> status = p.finish(10s);
        ASSERT_TRUE(status) << "the agent did not end";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == sig) << *status;
        const pid_t child = std::stoi(read_file(dir / "pid"));
        for (int i = 0; i < 300 && !ended(child); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(ended(child)) << "the program outlived the agent";
    }
}

// End of input with something still in the way; the row says what must hold afterwards.
struct EndRow {
    const char* name;
    void (*before_end)(Proc&, TempDir&);
    void (*after_exit)(TempDir&);
};

int idle_reader = -1;     // the reader of a named pipe that never reads, until the agent is gone
std::thread slow_reader;  // drains a named pipe a pipe's worth at a time, for longer than a stall
std::size_t slowly_read = 0;

const EndRow kEndRows[] = {
    {"a large write still arriving and being written",
     [](Proc& p, TempDir& d) {
         p.send(request(1, "fs.write", at(d / "f"), std::string(64 << 20, 'w')));
     },
     [](TempDir& d) { EXPECT_EQ(read_file(d / "f").size(), 64u << 20); }},
    {"a change whose reply cannot be written (nobody reads the output)",
     [](Proc& p, TempDir& d) {
         write_file(d / "big", std::string(4 << 20, 'z'));
         p.send(request(1, "fs.read", at(d / "big")) + request(2, "fs.write", at(d / "f"), "done"));
         std::this_thread::sleep_for(300ms);
     },
     [](TempDir& d) { EXPECT_EQ(read_file(d / "f"), "done"); }},
    {"a write into a named pipe whose reader never reads (the stall gets a bounded wait)",
     [](Proc& p, TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
         idle_reader = ::open((d / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         ASSERT_GE(idle_reader, 0);
         p.send(request(1, "fs.write", at(d / "fifo"), std::string(1 << 20, 'x')));
         std::this_thread::sleep_for(100ms);
     },
     [](TempDir&) { ::close(std::exchange(idle_reader, -1)); }},
    {"a write into a named pipe whose reader drains it for longer than a stall, but steadily",
     [](Proc& p, TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
         int r = ::open((d / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         ASSERT_GE(r, 0);
         p.send(request(1, "fs.write", at(d / "fifo"), std::string(24 << 16, 's')));
         slowly_read = 0;
         slow_reader = std::thread([r] {
             // Until the agent opens its end the pipe reads as ended: that is waited out.
             char buf[1 << 16];
             for (int waits = 0; waits < 1000;) {
                 const ssize_t n = ::read(r, buf, sizeof buf);
                 if (n == 0 && slowly_read > 0) break;
                 if (n <= 0) {
                     ++waits;
                     std::this_thread::sleep_for(10ms);
                     continue;
                 }
                 slowly_read += static_cast<std::size_t>(n);
                 std::this_thread::sleep_for(500ms);  // about twelve seconds in all
             }
             ::close(r);
         });
     },
     [](TempDir&) {
         if (slow_reader.joinable()) slow_reader.join();
         EXPECT_EQ(slowly_read, 24u << 16) << "the agent gave up on a write still making progress";
     }},
    {"writes still waiting for a named pipe's reader, the second for its turn behind the first",
     [](Proc& p, TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
         p.send(request(1, "fs.write", at(d / "fifo"), "x") +
                request(2, "fs.write", at(d / "fifo"), "y"));
         std::this_thread::sleep_for(100ms);
     },
     nullptr},
    {"a write that waited for its turn behind one that waited for a named pipe's reader",
     [](Proc& p, TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
         p.send(request(1, "fs.write", at(d / "fifo"), "x") +
                request(2, "fs.write", at(d / "fifo"), "y"));
         std::this_thread::sleep_for(100ms);
         // Both written before input ends: the second's claim on the exit was handed over.
         idle_reader = ::open((d / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         ASSERT_GE(idle_reader, 0);
         std::string got;
         for (int i = 0; i < 500 && got.size() < 2; ++i) {
             char buf[4];
             ssize_t n = ::read(idle_reader, buf, sizeof buf);
             if (n > 0) got.append(buf, static_cast<std::size_t>(n));
             std::this_thread::sleep_for(10ms);
         }
         EXPECT_EQ(got, "xy");
     },
     [](TempDir&) { ::close(std::exchange(idle_reader, -1)); }},
    {"a read of a pipe nobody writes, and programs that ignore the hang-up (as under nohup)",
     [](Proc& p, TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
         const std::string hold = "trap '' HUP; exec cat fifo";
         p.send(request(1, "fs.read", at(d / "fifo")) +
                request(2, "git", {{"cwd", d.path()}, {"args", {"-c", "alias.h=!" + hold, "h"}}}) +
                request(3, "exec", {{"cwd", d.path()}, {"program", "sh"}, {"args", {"-c", hold}}}));
         for (int i = 0; i < 1000 && children_of(p.pid()).size() < 2; ++i)
             std::this_thread::sleep_for(10ms);
     },
     [](TempDir& d) {  // lets the programs go
         for (int w; (w = ::open((d / "fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0;) {
             ::close(w);
             std::this_thread::sleep_for(10ms);
         }
     }},
    {"a running child, hung up with its process group",
     [](Proc& p, TempDir& d) {
         const std::string script = "echo $$ > pid.tmp; mv pid.tmp pid; while :; do sleep 1; done";
         p.send(request(1, "exec", run(d.path(), "sh", {"-c", script})));
         for (int i = 0; i < 500 && state_of(d / "pid") == kGone; ++i)
             std::this_thread::sleep_for(10ms);
     },
     [](TempDir& d) {
         pid_t child = std::stoi(read_file(d / "pid"));
         for (int i = 0; i < 300 && !ended(child); ++i) std::this_thread::sleep_for(10ms);
         EXPECT_TRUE(ended(child)) << "the program outlived the agent's input";
     }},
};

TEST(Reliability, EndOfInputFinishesChangesAndNothingElse) {
    for (const EndRow& row : kEndRows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        Proc p(serve_options(), false);
        row.before_end(p, dir);
        p.close_input();
        std::optional<int> status = p.finish(30s);  // output is waited for ten seconds at most
        ASSERT_TRUE(status) << "the agent did not exit";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        if (row.after_exit) row.after_exit(dir);
    }
}

TEST(Reliability, InheritedNonBlockingStreamsAreWaitedOn) {
    TempDir dir;
    const std::string content(4 << 20, 'n');
    write_file(dir / "big", content);
    // A parent that leaves both streams non-blocking; the agent must behave as with blocking ones.
    vesk::SpawnOptions o = serve_options();
    o.argv.insert(
        o.argv.begin(),
        {"python3", "-c",
         "import fcntl,os,sys\nfor f in (0,1): fcntl.fcntl(f,fcntl.F_SETFL,"
         "fcntl.fcntl(f,fcntl.F_GETFL)|os.O_NONBLOCK)\nos.execv(sys.argv[1],sys.argv[1:])"});
    Proc p(o);
    std::this_thread::sleep_for(200ms);  // an empty non-blocking input must not end the service
    p.send(request(1, "fs.read", at(dir / "big")));
    EXPECT_EQ(p.messages(1), std::vector<Msg>{reply(1, ok(), content)});
    p.send(request(2, "fs.stat", at(dir / "big")));
    EXPECT_EQ(p.messages(2).at(1).header,
              R"({"id":2,"data":{"exists":true,"is_dir":false,"len":4194304}})");
}

TEST(Reliability, AnAnnouncedLengthCostsNothingUntilItsBytesArrive) {
    Proc p(serve_options());
    p.send(be32(0x40000000) + "{\"id\":1");
    std::this_thread::sleep_for(300ms);
    const std::string status = read_file("/proc/" + std::to_string(p.pid()) + "/status");
    EXPECT_LT(std::stol(status.substr(status.find("VmRSS:") + 6)), 64 << 10)
        << "the agent took memory on the peer's word";
    p.close_input();
    EXPECT_TRUE(p.finish(10s));
    EXPECT_EQ(p.out(), "");
}

// Requests that block (a named pipe without a writer or reader, a slow child) delay nobody.
TEST(Concurrency, BlockedRequestsDelayNoOther) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "in").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "out").c_str(), 0600), 0);
    Proc p(serve_options());
    p.send(request(1, "fs.read", at(dir / "in")) + request(2, "fs.write", at(dir / "out"), "x") +
           request(3, "exec", run("/", "sleep", {"2"})));
    std::string stats;
    for (int i = 0; i < 20; ++i) stats += request(10 + i, "fs.stat", at("/"));
    auto sent = std::chrono::steady_clock::now();
    p.send(stats);
    std::vector<Msg> got = p.messages(20, 5s);
    auto took = std::chrono::steady_clock::now() - sent;
    ASSERT_EQ(got.size(), 20u);
    for (const Msg& m : got) EXPECT_EQ(m.header.find("\"id\":1,"), std::string::npos) << m.header;
    EXPECT_LT(took, 100ms) << "quick requests waited behind blocked ones";
}

// Thousands of requests blocked at once are all answered once they can be, and every thread
// and descriptor they took is given back.
TEST(Concurrency, ManyBlockedRequestsAreAllAnswered) {
    const int n = kSanitized ? 300 : 2000;
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    Proc p(serve_options());
    ProcState idle = idle_state(p.pid());
    std::string batch;
    for (int i = 1; i <= n; ++i) batch += request(i, "fs.read", at(dir / "fifo"));
    // Requests are read in order, so once this one is answered every read above is blocked.
    p.send(batch + request(n + 1, "fs.stat", at("/")));
    ASSERT_EQ(p.messages(1).size(), 1u);
    int writer = ::open((dir / "fifo").c_str(), O_WRONLY | O_CLOEXEC);  // releases every open
    ASSERT_GE(writer, 0);
    ::close(writer);  // ... and is the end of file that each read returns with
    std::vector<Msg> got = p.messages(n + 1);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(n + 1));
    std::vector<bool> seen(n + 2);
    for (const Msg& m : got) {
        std::uint64_t id = json::parse(m.header).at("id").get<std::uint64_t>();
        ASSERT_TRUE(id >= 1 && id <= static_cast<std::uint64_t>(n) + 1 && !seen[id]) << m.header;
        seen[id] = true;
    }
    EXPECT_TRUE(back_to_idle(p.pid(), idle));
}

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
    EXPECT_EQ(state_of(huge), kGone) << "a refused write touched the file";
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

// A pipelined mix under a 300 MiB address-space cap, where programs and reads that never end ask
// for more than the cap: memory runs out again and again, in the reader, in workers and in
// replies. Every request is answered exactly once, with its reply or with an out-of-memory (or
// no-thread) error, and the service lasts to the end of its input. A few runs, as a run that
// fails does so at a point that varies.
void memory_pressure(Faulty& f) {
    make_repo(f.dir / "repo");
    const std::string file(1 << 20, 'f');
    write_file(f.dir / "file", file);
    const std::string errors[] = {err(os_error(ENOMEM)), err(os_error(EAGAIN)),
                                  done(-1, os_error(ENOMEM)), done(-1, os_error(EAGAIN))};
    const struct {
        const char* method;
        json data;
        std::string body, success;  // "*": any data
    } kinds[] = {
        {"exec", run("/", "sleep", {"0.2"}), "", done(0)},
        {"exec", run("/", "yes", {}), "", ""},
        {"fs.read", at("/dev/zero"), "", ""},
        {"fs.read", at(f.dir / "file"), "", ok()},
        {"fs.write", at(f.dir / "out"), file, ok()},
        {"fs.stat", at(f.dir / "file"), "", ok(R"({"exists":true,"is_dir":false,"len":1048576})")},
        {"watch", at(f.dir / "repo"), "", ok()},
        {"fs.readdir", at(f.dir.path()), "", "*"},
        {"hello", nullptr, "", "*"},
    };
    constexpr int kRequests = 249;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Proc p(serve_options({}, f.dir.path(), f.ulimit));
        std::string batch;
        for (int id = 1; id <= kRequests; ++id) {
            const auto& k = kinds[id % std::size(kinds)];
            batch += request(id, k.method, k.data, k.body);
        }
        p.send(batch);
        // The watched repository may report a change too: a status run that failed for lack
        // of memory does not look like the last one.
        std::vector<Msg> got;
        for (std::size_t events = 0, seen = SIZE_MAX; got.size() != seen;) {
            seen = got.size();
            got = p.messages(kRequests + events);
            events = std::count_if(got.begin(), got.end(), [](const Msg& m) {
                return m.header.starts_with(R"({"id":0,)");
            });
        }
        std::erase_if(got, [](const Msg& m) { return m.header.starts_with(R"({"id":0,)"); });
        std::vector<int> answers(kRequests + 1);
        for (const Msg& m : got) {
            const json h = json::parse(m.header);
            const auto id = h.at("id").get<std::size_t>();
            ASSERT_TRUE(id >= 1 && id <= kRequests && ++answers[id] == 1) << m.header;
            const std::string tail = m.header.substr(
                m.header.find(',') == std::string::npos ? m.header.size() - 1 : m.header.find(','));
            const std::string& want = kinds[id % std::size(kinds)].success;
            const bool failed =
                std::find(std::begin(errors), std::end(errors), tail) != std::end(errors);
            EXPECT_TRUE(failed || tail == want || (want == "*" && h.contains("data"))) << m.header;
            EXPECT_TRUE(failed || id % std::size(kinds) != 3 || m.body == file) << id;
        }
        ASSERT_EQ(got.size(), std::size_t{kRequests}) << "the service ended early";
        p.close_input();
        EXPECT_EQ(p.finish(), 0) << p.err();
    }
    f.ended = true;
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

// A load from several client threads while watched repositories change, so events interleave
// with replies: every request is answered exactly once with its own reply, and every event is
// exact. What each method answers is the tables' business.
void mixed_load(Faulty& f) {
    constexpr int kThreads = 4;
    const int per_thread = (kThreadSanitizer ? 150 : kAddressSanitizer ? 250 : 500);
    std::vector<std::string> blobs, repos;
    std::mt19937_64 rng(7);
    for (std::size_t n : {0u, 1u, 65537u, 6u << 20}) {
        std::string& blob = blobs.emplace_back(n, '\0');
        for (char& ch : blob) ch = static_cast<char>(rng());
        write_file(f.dir / ("blob" + std::to_string(blobs.size() - 1)), blob);
    }
    std::set<std::string> events_wanted;
    for (int i = 0; i < 3; ++i) {
        repos.push_back(f.dir / ("repo" + std::to_string(i)));
        make_repo(repos.back());
        events_wanted.insert(R"({"id":0,"method":"changed","data":{"path":)" +
                             json(repos.back()).dump() + "}}");
    }
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
    auto client = [&](int t) {
        std::mt19937_64 r(static_cast<std::uint64_t>(t));
        std::deque<std::tuple<std::uint64_t, std::string, std::size_t>> window;  // id, reply, blob
        auto settle = [&] {
            auto [id, want, b] = window.front();
            window.pop_front();
            std::optional<vesk::client::Message> m = c.wait_reply(id, kWait);
            std::lock_guard<std::mutex> lock(mu);
            all_ids.push_back(id);
            if (!m || m->header_text != "{\"id\":" + std::to_string(id) + want ||
                m->body != blobs[b])
                problems.push_back(m ? m->header_text : "no reply to " + std::to_string(id));
        };
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < per_thread; ++i) {
            std::this_thread::sleep_until(begin + 6s * i / per_thread);  // across several polls
            const std::size_t b = r() % blobs.size();
            if (r() % 2)
                window.emplace_back(c.send("fs.read", at("blob" + std::to_string(b))), ok(), b);
            else
                window.emplace_back(c.send("exec", run(".", "cat", {}), blobs[b]), done(0), b);
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
}

const Fault kFaults[] = {
    {"closed_output", "", closed_output},
    {"gigabyte_body", "-v 400000", gigabyte_body},
    {"descriptors", "-n 32", descriptors},
    {"mixed_load", "", mixed_load},
    {"memory_pressure", "-v 307200", memory_pressure},
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
