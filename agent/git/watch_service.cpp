#include "agent/git/watch_service.h"

#include <time.h>

#include <cerrno>
#include <exception>
#include <utility>

namespace vesk {
namespace {

// Sleeps the whole period even when signals interrupt it: the deadline is absolute, so each
// retry sleeps only what remains.
void sleep_full(std::chrono::nanoseconds period) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(period);
    deadline.tv_sec += static_cast<time_t>(secs.count());
    deadline.tv_nsec += static_cast<long>((period - secs).count());
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace

void run_watcher(WatcherState state, std::chrono::nanoseconds period) {
    while (state.run->load(std::memory_order_relaxed)) {
        sleep_full(period);
        // Nothing may escape a detached thread; a poll that runs out of memory is skipped and
        // the next one compares against the last fingerprint that was reported.
        try {
            std::uint64_t now =
                repository_fingerprint(state.location.workdir, state.location.git_dirs);
            if (now != state.last && state.sink(state.path)) state.last = now;
        } catch (const std::exception&) {
        }
    }
}

WatchService::WatchService(EventSink sink, ThreadStarter start)
    : sink_(std::move(sink)), start_(std::move(start)) {
    if (!start_) start_ = start_detached_thread;
}

int WatchService::watch(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto [it, inserted] = entries_.try_emplace(path, nullptr);
    if (!inserted) return 0;

    // Until the thread runs, the entry must not outlive a failure (an exception from discovery,
    // or a thread that cannot start): an entry without a watcher would make every later
    // "watch" of this path a silent no-op.
    struct EntryGuard {
        std::unordered_map<std::string, RunFlag>& map;
        std::unordered_map<std::string, RunFlag>::iterator at;
        bool keep = false;
        ~EntryGuard() {
            if (!keep) map.erase(at);
        }
    } guard{entries_, it};

    it->second = std::make_shared<std::atomic<bool>>(true);
    WatcherState state;
    state.path = path;
    state.location = locate_repository(path);
    state.last = repository_fingerprint(state.location.workdir, state.location.git_dirs);
    state.run = it->second;
    state.sink = sink_;

    int rc = start_(
        [state = std::move(state)]() mutable { run_watcher(std::move(state), kWatchPollPeriod); },
        0);
    if (rc == 0) guard.keep = true;
    return rc;
}

void WatchService::unwatch(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto found = entries_.find(path);
    if (found == entries_.end()) return;
    found->second->store(false, std::memory_order_relaxed);
    entries_.erase(found);
}

void WatchService::stop_all() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [path, flag] : entries_) flag->store(false, std::memory_order_relaxed);
}

}  // namespace vesk
