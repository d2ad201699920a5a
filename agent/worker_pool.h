// The worker pool: threads that run one request each and then wait a while for the next.
//
// Thread rules: run() may be called from any thread. A job given to run() starts at once on an
// idle worker or on a new thread; nothing ever queues. A job must not throw.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/sys.h"

namespace vesk {

inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

// Keeps finished worker threads for a while so a burst of requests does not pay for a thread
// creation each.
class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
  public:
    explicit WorkerPool(ThreadStarter start) : start_(std::move(start)) {}

    // 0 once the job has been handed to a thread, or the errno value of a failed thread
    // creation; the job is then still the caller's, to retry.
    int run(std::function<void()>& job);

    // For a job that found no thread: keeps it to be tried again by retry_deferred(), a little
    // later each time, so the caller can go on meanwhile. give_up(errno) runs instead of the job
    // once no thread has come for `patience`. False (nothing kept) when memory is short.
    bool defer(std::function<void()> job, std::function<void(int)> give_up,
               std::chrono::milliseconds patience);
    // Tries the deferred jobs that are due, in the order they came, until one still finds no
    // thread. Called from one thread at a time (the serve loop's monitor, then its shutdown).
    // With last_chance, every deferred job is tried once now and given up if it fails.
    void retry_deferred(bool last_chance = false);
    bool has_deferred() const { return has_deferred_.load(); }

  private:
    static constexpr std::size_t kMaxIdle = 16;
    static constexpr std::chrono::seconds kIdleTimeout{10};

    // An idle worker's mailbox, with a lock of its own so that handing over a job never wakes
    // the worker into the pool lock. Shared, because run() may still be signalling it when the
    // worker has already taken the job and moved on.
    struct Idle {
        std::mutex mu;
        std::condition_variable cv;
        std::function<void()> job;
    };

    struct Deferred {
        std::function<void()> job;
        std::function<void(int)> give_up;
        std::int64_t give_up_at = 0;
        std::int64_t next_try = 0;
        int attempt = 0;
    };

    std::shared_ptr<Idle> take_idle();
    static void hand_over(Idle& worker, std::function<void()>& job);
    void work(std::function<void()> job) noexcept;

    ThreadStarter start_;
    std::mutex mu_;
    std::vector<std::shared_ptr<Idle>> idle_;
    std::mutex deferred_mu_;
    std::deque<Deferred> deferred_;
    std::atomic<bool> has_deferred_{false};
};

}  // namespace vesk
