// What the agent promises about time and order: no request waits behind another that blocks;
// writes to one path land in arrival order; end of input waits for changes but never for a
// reader that stopped reading, a pipe that never opens or a program, and hangs up running
// children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "support/harness.h"
#include "support/proc_state.h"

namespace {

using namespace vesk::test;
using namespace std::chrono_literals;

// A process that is gone, or a zombie (init here may not reap what the agent left behind).
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_text, comm, state;
    return !(stat >> pid_text >> comm >> state) || state == "Z";
}

TEST(Reliability, PipelinedWritesToOnePathEndAsTheLastOne) {
    TempDir dir;
    Proc p(serve_options());
    const std::string big(2 << 20, 'A');
    constexpr int kPairs = 20;
    std::string batch;
    for (int i = 0; i < kPairs; ++i) {
        const std::string f = dir / std::to_string(i);
        batch +=
            request(2 * i + 1, "fs.write", at(f), big) + request(2 * i + 2, "fs.write", at(f), "B");
    }
    ASSERT_TRUE(p.send(batch));
    ASSERT_EQ(p.messages(2 * kPairs).size(), 2u * kPairs);
    for (int i = 0; i < kPairs; ++i) EXPECT_EQ(read_file(dir / std::to_string(i)), "B") << i;
}

// End of input with something still in the way; the row says what must hold afterwards.
struct EndRow {
    const char* name;
    void (*before_end)(Proc&, TempDir&);
    void (*after_exit)(TempDir&);
};

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
    {"a write still waiting for a named pipe's reader",
     [](Proc& p, TempDir& d) {
         ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
         p.send(request(1, "fs.write", at(d / "fifo"), "x"));
         std::this_thread::sleep_for(100ms);
     },
     nullptr},
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
         json run = {
             {"cwd", d.path()},
             {"program", "sh"},
             {"args", {"-c", "echo $$ > pid.tmp; mv pid.tmp pid; while :; do sleep 1; done"}}};
         p.send(request(1, "exec", run));
         for (int i = 0; i < 500 && !path_exists(d / "pid"); ++i) std::this_thread::sleep_for(10ms);
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
    std::ifstream status("/proc/" + std::to_string(p.pid()) + "/status");
    std::string line;
    long rss_kib = -1;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) rss_kib = std::stol(line.substr(6));
    }
    ASSERT_GE(rss_kib, 0);
    EXPECT_LT(rss_kib, 64 << 10) << "the agent took memory on the peer's word";
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

}  // namespace
