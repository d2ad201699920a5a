#include "agent/serve.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/wire.h"
#include "support/harness.h"

namespace vesk {
namespace {

using namespace std::string_literals;

using test::frame;

std::string request(std::string_view header, std::string_view body = {}) {
    return frame(header) + frame(body);
}

std::string frob(std::uint64_t id) {
    return request(R"({"id":)" + std::to_string(id) + R"(,"method":"frob"})");
}

std::string frob_reply(std::uint64_t id) {
    return R"({"id":)" + std::to_string(id) + R"(,"error":"unknown method \"frob\""})";
}

// serve() over two pipes. Input is written in full and closed before serve() runs, so it must
// fit the pipe's buffer. Worker threads are detached, as in the agent: an idle worker may
// linger waiting for the next request, so nothing here waits for workers to end.
class ServeHarness {
  public:
    ServeHarness() {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        in_r_ = in[0];
        in_w_ = in[1];
        out_r_ = out[0];
        out_w_ = out[1];
    }
    // The output pipe's write end stays open: a lingering idle worker still holds its number.
    ~ServeHarness() {
        for (int fd : {in_r_, in_w_, out_r_})
            if (fd >= 0) ::close(fd);
    }

    ThreadStarter counting_starter() {
        return [this](std::function<void()> fn, std::size_t stack) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                stack_sizes_.push_back(stack);
            }
            std::thread(std::move(fn)).detach();
            return 0;
        };
    }

    ServeEnd run(std::string_view input, ThreadStarter starter = {}) {
        write_input(input);
        ServeOptions options;
        options.in_fd = in_r_;
        options.out_fd = out_w_;
        options.start_thread = starter ? std::move(starter) : counting_starter();
        options.seal_output = false;
        return serve(options);
    }

    void write_input(std::string_view input) {
        while (!input.empty()) {
            ssize_t n = ::write(in_w_, input.data(), input.size());
            if (n <= 0) throw std::runtime_error("input does not fit the pipe");
            input.remove_prefix(static_cast<std::size_t>(n));
        }
        ::close(in_w_);
        in_w_ = -1;
    }

    std::vector<std::size_t> stack_sizes() {
        std::lock_guard<std::mutex> lock(mu_);
        return stack_sizes_;
    }

    // Header texts of the next n messages, in stream order (bodies must be empty), then a short
    // look for anything more, which would be a request answered twice.
    std::multiset<std::string> headers(std::size_t n) {
        std::multiset<std::string> heads;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (heads.size() < n && std::chrono::steady_clock::now() < deadline) {
            if (!take_message(heads)) read_some(200);
        }
        read_some(100);
        while (take_message(heads)) {
        }
        EXPECT_EQ(pending_, "") << "bytes after the last whole message";
        return heads;
    }

    // True when nothing at all arrives within a short look.
    bool silent() {
        read_some(100);
        return pending_.empty();
    }

  private:
    void read_some(int timeout_ms) {
        pollfd p{out_r_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return;
        char buf[65536];
        ssize_t n = ::read(out_r_, buf, sizeof buf);
        if (n > 0) pending_.append(buf, static_cast<std::size_t>(n));
    }

    bool take_message(std::multiset<std::string>& heads) {
        std::string_view s = pending_;
        if (s.size() < 8) return false;
        std::uint32_t n = (std::uint32_t{static_cast<unsigned char>(s[0])} << 24) |
                          (std::uint32_t{static_cast<unsigned char>(s[1])} << 16) |
                          (std::uint32_t{static_cast<unsigned char>(s[2])} << 8) |
                          std::uint32_t{static_cast<unsigned char>(s[3])};
        if (s.size() < 8 + std::size_t{n}) return false;
        heads.emplace(s.substr(4, n));
        EXPECT_EQ(s.substr(4 + n, 4), "\0\0\0\0"s) << "non-empty body";
        pending_.erase(0, 8 + std::size_t{n});
        return true;
    }

    int in_r_ = -1, in_w_ = -1, out_r_ = -1, out_w_ = -1;
    std::mutex mu_;
    std::vector<std::size_t> stack_sizes_;
    std::string pending_;
};

TEST(Serve, AnswersEveryRequestThenStopsAtEndOfInput) {
    ServeHarness h;
    std::string input = frob(3) + frob(4) + frob(4) +
                        request(R"({"id":5,"method":"frob"})", "a body that is never read") +
                        request(R"([6])") + request(R"({"id":7,"method":"hello "})");
    EXPECT_EQ(h.run(input), ServeEnd::finished);
    std::multiset<std::string> got = h.headers(6);
    std::multiset<std::string> want = {frob_reply(3),
                                       frob_reply(4),
                                       frob_reply(4),
                                       frob_reply(5),
                                       R"({"id":6,"error":"unknown method \"\""})",
                                       R"({"id":7,"error":"unknown method \"hello \""})"};
    EXPECT_EQ(got, want);
    for (std::size_t s : h.stack_sizes()) EXPECT_EQ(s, kWorkerStackSize);
}

TEST(Serve, RequestsBeforeTheBadFrameAreStillAnswered) {
    ServeHarness h;
    EXPECT_EQ(h.run(frob(1) + frob(2) + request("[") + frob(3)), ServeEnd::finished);
    EXPECT_EQ(h.headers(2), (std::multiset<std::string>{frob_reply(1), frob_reply(2)}));
}

// Lets held threads through one at a time.
class Gate {
  public:
    void pass() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return permits_ > 0; });
        --permits_;
    }
    void open_once() {
        std::lock_guard<std::mutex> lock(mu_);
        ++permits_;
        cv_.notify_one();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int permits_ = 0;
};

// Workers 1..3 are held; later thread starts fail with EAGAIN up to three times, each failure
// letting one held worker finish a little later, once the loop is waiting. The loop must wait
// and retry (on a new or a reused thread) rather than give up while a worker is still running.
TEST(Serve, WorkerStartFailureWaitsForRunningWorkersAndRetries) {
    ServeHarness h;
    constexpr int kHeld = 3;
    constexpr int kRequests = 8;
    // Shared with detached threads that may outlive a failed assertion.
    auto release = std::make_shared<Gate>();
    std::mutex mu;
    int calls = 0;
    int failures = 0;
    ThreadStarter starter = [&](std::function<void()> fn, std::size_t) {
        std::lock_guard<std::mutex> lock(mu);
        ++calls;
        if (calls <= kHeld) {
            std::thread([release, fn = std::move(fn)] {
                release->pass();
                fn();
            }).detach();
            return 0;
        }
        if (failures < kHeld) {
            ++failures;
            std::thread([release] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                release->open_once();
            }).detach();
            return EAGAIN;
        }
        std::thread(std::move(fn)).detach();
        return 0;
    };
    std::string input;
    for (int i = 1; i <= kRequests; ++i) input += frob(static_cast<std::uint64_t>(i));
    ServeEnd end = h.run(input, starter);
    int still_held;
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_GE(failures, 1) << "calls " << calls;
        still_held = kHeld - failures;
    }
    for (int i = 0; i < still_held; ++i) release->open_once();
    EXPECT_EQ(end, ServeEnd::finished);
    std::multiset<std::string> want;
    for (int i = 1; i <= kRequests; ++i) want.insert(frob_reply(static_cast<std::uint64_t>(i)));
    EXPECT_EQ(h.headers(kRequests), want);
}

// A worker that ends after a thread start failed but before the loop begins to wait must still
// count: if it was the last one, giving up would exit 101 although a thread was just freed. Here
// the only running worker finishes while the failing start is still returning; the retry must
// succeed.
TEST(Serve, WorkerEndingJustAfterAFailedStartIsNotMissed) {
    ServeHarness h;
    auto release = std::make_shared<Gate>();
    int calls = 0;
    ThreadStarter starter = [&](std::function<void()> fn, std::size_t) {
        ++calls;
        if (calls == 1) {
            std::thread([release, fn = std::move(fn)] {
                release->pass();
                fn();
            }).detach();
            return 0;
        }
        if (calls == 2) {
            release->open_once();
            // The held worker's reply is out; its end is counted right after the write.
            EXPECT_EQ(h.headers(1), std::multiset<std::string>{frob_reply(1)});
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return EAGAIN;
        }
        std::thread(std::move(fn)).detach();
        return 0;
    };
    EXPECT_EQ(h.run(frob(1) + frob(2), starter), ServeEnd::finished);
    EXPECT_EQ(h.headers(1), std::multiset<std::string>{frob_reply(2)});
}

TEST(Serve, WorkerStartFailureWithNoWorkerRunningIsFatal) {
    ServeHarness h;
    int calls = 0;
    ThreadStarter starter = [&](std::function<void()>, std::size_t) {
        ++calls;
        return EAGAIN;
    };
    EXPECT_EQ(h.run(frob(1) + frob(2), starter), ServeEnd::no_worker_thread);
    EXPECT_GE(calls, 1);
    EXPECT_TRUE(h.silent());
}

}  // namespace
}  // namespace vesk
