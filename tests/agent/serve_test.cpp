// The road of a request where a real agent cannot be made to show it on demand: the frame
// reader under reads that always come up short, a reply too long to frame, and the loop when no
// worker thread can be had.
#include "agent/serve.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/frame_reader.h"
#include "agent/message_writer.h"
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
            EXPECT_TRUE(i % 3 == 2 || text + bytes.str() == payload(i)) << "frame " << i;
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
        out.write_no_memory(std::make_unique<OutMessage>(), 18446744073709551615u);
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

// Each call of the starter follows one letter of the script, the last one repeating: H starts
// the worker held at the gate, R starts it, X fails, F fails and lets one held worker go 100 ms
// later (the loop must wait for it), f lets one go and fails once it has ended (an end inside
// the failed start must not be missed). Without any worker running, the request is answered
// with the system's error text instead.
TEST(Serve, WorkerStartFailureWaitsForARunningWorkerOrAnswersTheSystemError) {
    const struct {
        const char* script;
        std::uint64_t requests;
        bool refused;
    } cases[] = {{"HHHFFFR", 8, false}, {"HfR", 2, false}, {"X", 3, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        // Lets held workers through one at a time; shared with threads that may outlive the test.
        auto gate = std::make_shared<std::counting_semaphore<>>(0);
        std::size_t calls = 0;  // only the thread reading requests starts workers here
        ThreadStarter starter = [&](std::function<void()> fn, std::size_t stack) {
            EXPECT_EQ(stack, kWorkerStackSize);
            const char step = c.script[std::min(calls++, std::strlen(c.script) - 1)];
            if (step == 'H') {
                fn = [gate, fn = std::move(fn)] {
                    gate->acquire();
                    fn();
                };
            }
            if (step == 'H' || step == 'R') return start_detached_thread(std::move(fn));
            if (step == 'F') {
                std::thread([gate] {
                    std::this_thread::sleep_for(100ms);
                    gate->release();
                }).detach();
            } else if (step == 'f') {
                gate->release();
                std::this_thread::sleep_for(100ms);
            }
            return EAGAIN;
        };
        int in[2], out[2];
        ASSERT_EQ(::pipe2(in, O_CLOEXEC) | ::pipe2(out, O_CLOEXEC), 0);
        std::string input;
        std::multiset<std::string> want;
        for (std::uint64_t id = 1; id <= c.requests; ++id) {
            input += encode_message(Header{id, "exec", nullptr, {}});  // always on a worker
            const std::string error =
                c.refused ? test::os_error(EAGAIN)
                          : "bad params: invalid type: null, expected struct ExecParams";
            want.insert(R"({"id":)" + std::to_string(id) + R"(,"error":")" + error + "\"}");
        }
        ASSERT_EQ(::write(in[1], input.data(), input.size()), ssize_t(input.size()));
        ::close(in[1]);
        serve({in[0], out[1], starter, /*seal_output=*/false});
        gate->release(3);  // any worker still held
        EXPECT_EQ(replies(out[0], c.requests), want);
        for (int fd : {in[0], out[0], out[1]}) ::close(fd);
    }
}

}  // namespace
}  // namespace vesk
