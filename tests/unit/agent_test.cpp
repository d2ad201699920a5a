// The pieces of the agent a real agent cannot be made to show on demand: the frame reader under
// reads that always come up short, replies that cannot be framed, the loop when no thread can
// be had, capture limits only gigabytes of output would reach, tree removal racing a rename,
// and the watcher's hash and thread start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/dispatch.h"
#include "agent/exec/capture_limits.h"
#include "agent/frame_reader.h"
#include "agent/fs/remove_tree.h"
#include "agent/git/siphash.h"
#include "agent/git/watch_service.h"
#include "agent/message_writer.h"
#include "agent/serve.h"
#include "agent/worker_pool.h"
#include "common/codec.h"
#include "support/harness.h"

namespace vesk {
namespace {

using namespace std::chrono_literals;

// Fed one byte per write() by another thread, every read() comes up short: prefixes and
// payloads are cut at every byte, inside the reader's buffer and around it.
TEST(FrameReader, ShortReadsAtEveryByteWithLargeAndTinyBuffers) {
    const std::size_t sizes[] = {0, 1, 3, 4, 5, 17, 65535, 65536, 65537, 130000, 2, 0};
    auto payload = [&](std::size_t i) {
        std::string p(sizes[i], '\0');
        for (std::size_t k = 0; k < p.size(); ++k) p[k] = static_cast<char>((k * 7 + i) % 251);
        return p;
    };
    std::string stream;
    for (std::size_t i = 0; i < std::size(sizes); ++i) stream += encode_frame(payload(i));
    // The largest length allowed, then input ends: nothing may be allocated on its word alone.
    stream += encode_frame("abc").replace(0, 4, "\x40\0\0\0", 4);
    for (std::size_t buffer : {64 * 1024, 3}) {
        SCOPED_TRACE(buffer);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        std::thread writer([&] {
            for (std::size_t i = 0; i < stream.size() && ::write(fds[1], &stream[i], 1) == 1;) ++i;
            ::close(fds[1]);
        });
        InputReader in(fds[0], buffer);
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            const FrameLen len = read_frame_len(in);
            ASSERT_EQ(len.status, ReadStatus::ok);
            ASSERT_EQ(len.len, sizes[i]);
            std::string text;
            Bytes bytes;
            const ReadStatus s = i % 3 == 0   ? in.read_payload(text, len.len)
                                 : i % 3 == 1 ? in.read_payload(bytes, len.len)
                                              : in.discard(len.len);
            ASSERT_EQ(s, ReadStatus::ok) << "frame " << i;
            EXPECT_TRUE(i % 3 == 2 || text + std::string(bytes.view()) == payload(i))
                << "frame " << i;
        }
        const FrameLen last = read_frame_len(in);
        EXPECT_EQ(last.status, ReadStatus::ok);
        std::string text;
        EXPECT_EQ(in.read_payload(text, last.len), ReadStatus::end_of_input);
        writer.join();
        ::close(fds[0]);
    }
}

// The stand-in replies are built in place, without allocating: a body too long for its 32-bit
// length (4 GiB of address space that is never touched) and a reply that ran out of memory.
TEST(SharedOutput, StandInRepliesKeepTheIdAndTheStreamWhole) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Bytes huge;
    if (!huge.try_reserve(std::size_t{1} << 32)) GTEST_SKIP() << "cannot reserve 4 GiB";
    huge.resize_uninitialized(std::size_t{1} << 32);
    {
        SharedOutput out(fds[1]);
        out.write(Header{9, {}, {{"x", 1}}, {}}, std::move(huge));
        auto* no_memory = new OutMessage;
        out.encode_no_memory(*no_memory, 18446744073709551615u);
        out.submit(no_memory, no_memory);
        // The agent exits once the output is sealed: a later message must not start a frame
        // that the exit would cut.
        EXPECT_TRUE(out.seal(1s));
        out.write(Header{10, {}, {}, {}}, Bytes("late"));
    }
    ::close(fds[1]);
    std::string got(256, '\0');
    got.resize(static_cast<std::size_t>(::read(fds[0], got.data(), got.size())));
    ::close(fds[0]);
    const auto error = [](std::string id, int err) {
        return encode_frame(R"({"id":)" + id + R"(,"error":")" + test::os_error(err) + "\"}") +
               encode_frame("");
    };
    EXPECT_EQ(got, error("9", EMSGSIZE) + error("18446744073709551615", ENOMEM));
}

// Appends keep the content whole (growth included), and a large block given back is what the
// next large buffer gets, so back-to-back large bodies reuse pages already present.
TEST(Bytes, AppendsGrowAndALargeBlockIsReused) {
    Bytes b;
    std::string want;
    for (std::size_t n : {4096, 1, 3, 10000, 4097}) {
        const std::string piece(n, static_cast<char>('a' + n % 26));
        b.append(piece), want += piece;
        ASSERT_GE(b.capacity(), b.size());
    }
    EXPECT_EQ(b.view(), want);
    Bytes large;
    large.reserve(large_blocks::kLargeBlock);
    const char* first = large.data();
    large.release();
    Bytes next;
    next.reserve(large_blocks::kLargeBlock);
    EXPECT_EQ(next.data(), first);
    next.release();
    large_blocks::drop();  // earlier tests in this process may have left blocks of their own
    // Of the blocks kept, growth takes the smallest that fits; a program's output the largest.
    constexpr std::size_t kMiB = 1 << 20;
    std::vector<const char*> blocks;
    {
        Bytes a, b, c;
        a.reserve(64 * kMiB), b.reserve(256 * kMiB), c.reserve(128 * kMiB);
        blocks = {a.data(), b.data(), c.data()};
    }
    Bytes fit, out;
    fit.reserve(100 * kMiB);
    ASSERT_TRUE(out.try_reserve(8 * kMiB, large_blocks::Pick::largest));
    EXPECT_EQ(fit.data(), blocks[2]);
    EXPECT_EQ(out.data(), blocks[1]);
}

// run_command's capture limits, which only gigabytes of output would reach end to end: past a
// limit the child is killed with its process group and reaped, and the run fails with "Message
// too long".
TEST(RunCommand, OutputPastTheCaptureLimitKillsAndReapsTheChild) {
    const struct {
        const char* script;
        CaptureLimits limits;
        bool too_long;
    } cases[] = {
        {"head -c 1000 /dev/zero", {1000, 1000}, false},
        {"head -c 1001 /dev/zero; exec sleep 60", {1000, 1000}, true},
        {"head -c 1000 /dev/zero >&2", {1000, 1000}, false},
        // The whole group goes, not only the child: nothing it started outlives the run.
        {"sleep 60 & echo $! > pid; head -c 1001 /dev/zero >&2; exec sleep 60", {1000, 1000}, true},
        {"exec head -c 50000000 /dev/zero", {20000000, 1000}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        test::TempDir dir;
        const RunResult r =
            run_command({"/bin/sh", {"-c", c.script}, dir.path(), {}}, {}, c.limits);
        if (c.too_long) {
            ASSERT_TRUE(std::holds_alternative<std::string>(r));
            EXPECT_EQ(std::get<std::string>(r), test::os_error(EMSGSIZE));
        } else {
            ASSERT_TRUE(std::holds_alternative<ChildOutput>(r));
            const ChildOutput& out = std::get<ChildOutput>(r);
            EXPECT_EQ(out.code, 0);
            EXPECT_EQ(out.stdout_bytes.size() + out.stderr_bytes.size(), 1000u);
        }
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
        if (test::state_of(dir / "pid") != test::kGone) {
            const pid_t background = std::stoi(test::read_file(dir / "pid"));
            for (int i = 0; i < 200 && !test::ended(background); ++i)
                std::this_thread::sleep_for(10ms);
            EXPECT_TRUE(test::ended(background))
                << "a program of the child's group was left behind";
        }
    }
}

// The header frames of the first n messages on fd, waiting up to 30 s for them.
std::multiset<std::string> replies(int fd, std::size_t n) {
    std::string stream;
    std::vector<std::string_view> frames;
    for (int waits = 0; frames.size() < 2 * n && waits < 300; ++waits) {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        const ssize_t got = ::poll(&p, 1, 100) == 1 ? ::read(fd, buf, sizeof buf) : 0;
        stream.append(buf, got > 0 ? std::size_t(got) : 0);
        frames.clear();
        split_frames(stream, frames);
    }
    std::multiset<std::string> heads;
    for (std::size_t i = 0; i < frames.size(); i += 2) heads.emplace(frames[i]);
    return heads;
}

// While no worker thread can be started, a request that needs one is tried again, a little
// later each time, and the service goes on meanwhile: a request that runs inline is answered at
// once, even while a running worker holds threads (nothing waits for it to end). A request that
// never gets a thread is answered with the system's error text.
TEST(Serve, AWorkerThatCannotStartIsRetriedWhileQuickRequestsAreServed) {
    for (const bool threads_come_back : {true, false}) {
        SCOPED_TRACE(threads_come_back ? "threads come back" : "no thread ever");
        // Shared with threads that may outlive the test.
        auto gate = std::make_shared<std::counting_semaphore<>>(0);
        auto allow = std::make_shared<std::atomic<bool>>(false);
        auto calls = std::make_shared<std::atomic<int>>(0);
        ThreadStarter starter = [gate, allow, calls](std::function<void()> fn, std::size_t stack) {
            EXPECT_EQ(stack, kWorkerStackSize);
            if (calls->fetch_add(1) == 0) {  // the first worker runs, held at the gate
                return start_detached_thread([gate, fn = std::move(fn)] {
                    gate->acquire();
                    fn();
                });
            }
            return allow->load() ? start_detached_thread(std::move(fn)) : EAGAIN;
        };
        int in[2], out[2];
        ASSERT_EQ(::pipe2(in, O_CLOEXEC) | ::pipe2(out, O_CLOEXEC), 0);
        ServeOptions options;
        options.in_fd = in[0];
        options.out_fd = out[1];
        options.start_thread = starter;
        options.seal_output = false;
        std::thread service([&] { serve(options); });
        const std::string input =
            encode_message(Header{1, "exec", nullptr, {}}) +
            encode_message(Header{2, "exec", nullptr, {}}) +
            encode_message(Header{3, "fs.stat", {{"path", "/nonexistent/x"}}, {}});
        ASSERT_EQ(::write(in[1], input.data(), input.size()), ssize_t(input.size()));
        EXPECT_EQ(replies(out[0], 1),
                  std::multiset<std::string>{
                      R"({"id":3,"data":{"exists":false,"is_dir":false,"len":0}})"});
        allow->store(threads_come_back);
        const std::string bad =
            R"(,"error":"bad params: invalid type: null, expected struct ExecParams"})";
        EXPECT_EQ(replies(out[0], 1),
                  std::multiset<std::string>{
                      threads_come_back ? R"({"id":2)" + bad
                                        : R"({"id":2,"error":")" + test::os_error(EAGAIN) + "\"}"});
        EXPECT_GE(calls->load(), 3) << "the start was not tried again";
        gate->release();
        EXPECT_EQ(replies(out[0], 1), std::multiset<std::string>{R"({"id":1)" + bad});
        ::close(in[1]);
        service.join();
        for (int fd : {in[0], out[0], out[1]}) ::close(fd);
    }
}

using vesk::test::kGone;
using vesk::test::read_file;
using vesk::test::state_of;
using vesk::test::TempDir;
using vesk::test::write_file;

// Makes root a chain of depth directories named "d", each holding a file "f", through
// descriptors so that the path length limit does not matter. Returns a descriptor on the
// deepest one, or -1.
int make_deep_tree(const std::string& root, int depth) {
    int fd = ::mkdir(root.c_str(), 0700) == 0 ? ::open(root.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    for (int i = 0; fd >= 0; ++i) {
        ::close(::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (i == depth) break;
        int next = ::mkdirat(fd, "d", 0700) == 0 ? ::openat(fd, "d", O_RDONLY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    return fd;
}

// A deep tree with links inside, under a parent that is swapped for a link (to a directory
// holding an empty one of the same name) once the walk has reached the bottom: the named tree
// goes, the links inside are removed and not followed, and the other directory stays. The
// descriptor limit, far below the depth, proves the walk does not hold one per level.
TEST(RemoveTree, DeepTreeWithLinksUnderASwappedParent) {
    TempDir dir;
    const std::string top = dir / "p/top";
    for (const char* d : {"p", "elsewhere", "elsewhere/top", "outside"})
        ASSERT_EQ(::mkdir((dir / d).c_str(), 0700), 0);
    write_file(dir / "outside/keep", "kept");
    int bottom = make_deep_tree(top, 1000);
    ASSERT_GE(bottom, 0);
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (top + "/d/to_dir").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside/keep").c_str(), (top + "/to_file").c_str()), 0);
    rlimit old, tight;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    tight = {256, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    std::atomic<bool> done{false};
    int err = -1;
    std::thread walk([&] {
        err = remove_tree(top);
        done = true;
    });
    struct stat st;
    while (!done && ::fstatat(bottom, "f", &st, AT_SYMLINK_NOFOLLOW) == 0)
        std::this_thread::yield();
    EXPECT_EQ(::rename((dir / "p").c_str(), (dir / "moved").c_str()), 0);
    EXPECT_EQ(::symlink("elsewhere", (dir / "p").c_str()), 0);
    walk.join();
    ::setrlimit(RLIMIT_NOFILE, &old);
    ::close(bottom);

    EXPECT_EQ(err, 0) << vesk::test::os_error(err);
    EXPECT_EQ(state_of(dir / "moved/top"), kGone);
    EXPECT_NE(state_of(dir / "elsewhere/top"), kGone);
    EXPECT_EQ(read_file(dir / "outside/keep"), "kept");
}

// Every path here leads at most to s, so a refusal that fails cannot reach past the sandbox.
TEST(RemoveTree, DotAndDotDotAreRefusedBeforeAnythingIsRemoved) {
    TempDir dir;
    const std::string t = dir / "s/t";
    for (const std::string& d : {dir / "s", t, t + "/u"}) ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
    write_file(t + "/f", "x");
    ASSERT_EQ(::chdir(t.c_str()), 0);
    for (const char* path : {".", "..", "./", "u/..", "../t/.", "../t/./", "u/..//"})
        EXPECT_EQ(remove_tree(path), EINVAL) << path;
    EXPECT_EQ(read_file(t + "/f"), "x");
    EXPECT_EQ(remove_tree("u"), 0);  // relative to the working directory
    EXPECT_EQ(state_of(t + "/u"), kGone);
    ASSERT_EQ(::chdir("/"), 0);
}

// A tail the hash dropped would hide changes at the end of a status listing. Values from an
// independent implementation: CPython hashes bytes with SipHash-1-3 under a zero
// key when PYTHONHASHSEED=0, e.g.
//   PYTHONHASHSEED=0 python3 -c 'print(hash(bytes(range(3))) & (2**64-1))'
TEST(Fingerprint, SipHash13OfEveryTailLength) {
    const std::uint64_t counting[] = {
        0x68a914128e01e473, 0x010bac45c41e3669, 0x4d4c9a4a8ef6e0ad, 0x7cc43f98813e4dbd,
        0x5abe2169dff36275, 0xe3c25f87624f1cdb, 0x2f098ab0c751325a, 0xead411e67ebe2eea,
        0x75927f9d95124362, 0xaf9f77a65ab51a1d, 0xfe64ce8b6617fcff, 0xa6baf4fb0f9fe1c2,
        0xa0cf3211850f8e0d, 0x7f86049379fbfe67, 0xf30eb725bb91c9ea, 0x8972188433a5c5b7,
        0x4883c49a2c009c1d, 0xadc2c0b63044067d, 0x091f4a3329f87d19, 0x639e355ae68c0100,
    };
    std::string bytes;  // 0, 1, 2, ...
    for (std::uint64_t want : counting) {
        bytes.push_back(static_cast<char>(bytes.size()));
        EXPECT_EQ(siphash13(0, 0, bytes), want) << bytes.size() << " bytes";
    }
    EXPECT_EQ(siphash13(0, 0, "hello world"), 0xb1b1f2e707e4ac8au);
    EXPECT_EQ(siphash13(0, 0, std::string(9, '\xff')), 0xe271c8ef95f59694u);  // no sign extension
}

// The path must not stay behind as watched, or every later "watch" of it would do nothing.
TEST(WatchService, AFailedWatcherStartLeavesThePathUnwatched) {
    test::TempDir dir;
    int starts = 0, result = EAGAIN;
    // The watcher bodies are dropped: nothing runs, so nothing outlives the test.
    WatchService watches([](const std::string&) { return true; },
                         [&](std::function<void()>, std::size_t) {
                             ++starts;
                             return result;
                         });
    EXPECT_EQ(watches.watch({dir.path(), dir.path()}), EAGAIN);
    result = 0;
    EXPECT_EQ(watches.watch({dir.path(), dir.path()}), 0);
    EXPECT_EQ(watches.watch({dir.path(), dir.path()}), 0);  // watched already: no second watcher
    watches.unwatch(dir.path());
    EXPECT_EQ(watches.watch({dir.path(), dir.path()}), 0);
    EXPECT_EQ(starts, 3);
}

}  // namespace
}  // namespace vesk
