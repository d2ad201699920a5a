#include "agent/worker_pool.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace vesk {
namespace {

std::int64_t now_nanos() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// 1 ms, doubling up to 64 ms.
std::int64_t back_off_nanos(int attempt) {
    return std::int64_t{1'000'000} << std::min(attempt, 6);
}

}  // namespace

int WorkerPool::run(std::function<void()>& job) {
    std::shared_ptr<Idle> worker = take_idle();
    if (!worker) {
        // Workers that were handed jobs may be runnable but not yet running, typically
        // when the agent shares one CPU: without a chance to finish, a burst of pipelined
        // requests starts a new thread for nearly every request. One yield lets them
        // return to the pool first; it returns at once when nothing else wants this CPU.
        ::sched_yield();
        worker = take_idle();
    }
    if (worker) {
        hand_over(*worker, job);
        return 0;
    }
    std::shared_ptr<std::function<void()>> held;
    int rc = ENOMEM;
    try {
        held = std::make_shared<std::function<void()>>(std::move(job));
        auto self = shared_from_this();
        rc = start_([self, held] { self->work(std::move(*held)); }, kWorkerStackSize);
    } catch (const std::bad_alloc&) {
    }
    if (rc != 0 && held) job = std::move(*held);
    return rc;
}

bool WorkerPool::defer(std::function<void()> job, std::function<void(int)> give_up,
                       std::chrono::milliseconds patience) {
    const std::int64_t now = now_nanos();
    try {
        std::lock_guard<std::mutex> lock(deferred_mu_);
        deferred_.push_back({std::move(job), std::move(give_up),
                             now + std::chrono::nanoseconds(patience).count(),
                             now + back_off_nanos(0), 1});
    } catch (const std::bad_alloc&) {
        return false;
    }
    has_deferred_.store(true);
    return true;
}

void WorkerPool::retry_deferred(bool last_chance) {
    if (!has_deferred_.load()) return;
    const std::int64_t now = now_nanos();
    for (;;) {
        // Taken off the queue while it is tried, so that a second caller never tries it too.
        Deferred d;
        {
            std::lock_guard<std::mutex> lock(deferred_mu_);
            if (deferred_.empty()) {
                has_deferred_.store(false);
                return;
            }
            if (deferred_.front().next_try > now && !last_chance) return;
            d = std::move(deferred_.front());
            deferred_.pop_front();
        }
        const int rc = run(d.job);
        if (rc == 0) continue;
        if (now >= d.give_up_at || last_chance) {
            d.give_up(rc);
            continue;
        }
        d.next_try = now + back_off_nanos(d.attempt++);
        try {
            std::lock_guard<std::mutex> lock(deferred_mu_);
            deferred_.push_front(std::move(d));
            return;
        } catch (const std::bad_alloc&) {
        }
        d.give_up(ENOMEM);
        return;
    }
}

std::shared_ptr<WorkerPool::Idle> WorkerPool::take_idle() {
    std::lock_guard<std::mutex> lock(mu_);
    if (idle_.empty()) return nullptr;
    auto w = std::move(idle_.back());
    idle_.pop_back();
    return w;
}

void WorkerPool::hand_over(Idle& worker, std::function<void()>& job) {
    {
        std::lock_guard<std::mutex> lock(worker.mu);
        worker.job = std::move(job);
    }
    worker.cv.notify_one();
}

// Nothing may escape a thread: the job never throws, and when the pool itself runs out of
// memory the thread just ends after its job.
void WorkerPool::work(std::function<void()> job) noexcept {
    job();
    job = nullptr;
    std::shared_ptr<Idle> self;
    try {
        self = std::make_shared<Idle>();
    } catch (...) {
        return;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (idle_.size() >= kMaxIdle) return;
            try {
                idle_.push_back(self);
            } catch (...) {
                return;
            }
        }
        std::unique_lock<std::mutex> mine(self->mu);
        if (!self->cv.wait_for(mine, kIdleTimeout, [&] { return bool(self->job); })) {
            mine.unlock();
            {
                std::lock_guard<std::mutex> lock(mu_);
                auto it = std::find(idle_.begin(), idle_.end(), self);
                if (it != idle_.end()) {
                    idle_.erase(it);
                    return;
                }
            }
            // Taken by run() just as the wait ended: the job is on its way.
            mine.lock();
            self->cv.wait(mine, [&] { return bool(self->job); });
        }
        job = std::move(self->job);
        self->job = nullptr;
        mine.unlock();  // the job runs without its mailbox's lock
        job();
        job = nullptr;
    }
}

}  // namespace vesk
