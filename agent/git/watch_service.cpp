#include "agent/git/watch_service.h"

#include "agent/git/siphash.h"

#include <time.h>

#include <cerrno>
#include <exception>
#include <string>
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

void run_watcher(WatcherState state, std::chrono::nanoseconds period,
                 std::chrono::nanoseconds full_period) {
    const RepoLocation& loc = state.location;
    // A file linked before its inode was watched may have been written through the link:
    // the first poll runs the status command whatever the gate says.
    bool force_full = true;
    auto last_full = std::chrono::steady_clock::now();
    // Nothing may escape a detached thread. A gate that fails half-way cannot be trusted and
    // is dropped; a poll that runs out of memory is skipped, and the next one compares against
    // the last fingerprint that was reported.
    try {
        if (state.gate) state.gate->watch_linked_files();
    } catch (const std::exception&) {
        state.gate.reset();
    }
    while (state.run->load(std::memory_order_relaxed)) {
        sleep_full(period);
        try {
            auto now = std::chrono::steady_clock::now();
            bool timed = now - last_full >= full_period;
            bool full = !state.gate || std::exchange(force_full, false) || timed;
            if (timed && state.gate) state.gate->watch_linked_files();  // links made since
            if (state.gate) {
                ChangeGate::Verdict verdict = state.gate->poll();
                if (verdict == ChangeGate::Verdict::lost) state.gate.reset();
                full = full || verdict != ChangeGate::Verdict::quiet;
            }
            if (full) {
                state.status = status_stream(loc.workdir);
                last_full = now;
            }
            std::uint64_t fp = siphash13(0, 0, metadata_stream(loc.git_dirs) + state.status);
            if (fp != state.last && state.sink(state.path)) state.last = fp;
        } catch (const std::exception&) {
            state.gate.reset();
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
    // Armed before the first status run, so that whatever changes after that run is an event.
    state.gate = ChangeGate::arm(state.location);
    state.status = status_stream(state.location.workdir);
    state.last = siphash13(0, 0, metadata_stream(state.location.git_dirs) + state.status);
    state.run = it->second;
    state.sink = sink_;

    int rc = start_(
        [state = std::move(state)]() mutable {
            run_watcher(std::move(state), kWatchPollPeriod, kWatchFullPollPeriod);
        },
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
