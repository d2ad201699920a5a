#include "agent/git/watch_service.h"

#include "agent/git/change_gate.h"
#include "agent/git/siphash.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace vesk {
namespace {

constexpr std::chrono::seconds kWatchPollPeriod{2};
// The bound on what no kernel event reports (a write through a shared mapping, say): the
// longest a gated watch goes without running the status command.
constexpr std::chrono::minutes kWatchFullPollPeriod{5};

struct WatcherState {
    std::string path;  // the path text as the controller sent it; echoed in every event
    RepoLocation location;
    RunFlag run;
    EventSink sink;
    std::uint64_t last = 0;  // fingerprint of the previous poll
    std::string status;      // the status part of the last poll's stream
};

// Sleeps until the deadline even when signals interrupt it: the deadline is absolute, so each
// retry sleeps only what remains. steady_clock is CLOCK_MONOTONIC.
void sleep_until(std::chrono::steady_clock::time_point wake) {
    auto since = wake.time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(secs.count());
    deadline.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since - secs).count());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Polls until the run flag is cleared: sleep a full period, fingerprint, hand over one event if
// it differs from the last. The flag is checked after the poll, so a watcher stopped while
// asleep still finishes that poll.
void run_watcher(WatcherState state, std::chrono::nanoseconds period,
                 std::chrono::nanoseconds full_period) {
    using Clock = std::chrono::steady_clock;
    const RepoLocation& loc = state.location;
    Clock::time_point wake = Clock::now() + period;
    auto last_full = Clock::now();
    // The gate is armed here rather than in watch(), so that walking a large tree does not
    // delay the reply. What changes before a directory is watched is seen by the first poll,
    // which runs the status command whatever the gate says (so is a write made through a link
    // before its inode was watched).
    std::unique_ptr<ChangeGate> gate;
    bool force_full = true;
    // Nothing may escape a detached thread. A gate that fails half-way cannot be trusted and
    // is dropped; a poll that runs out of memory is skipped, and the next one compares against
    // the last fingerprint that was reported.
    try {
        gate = ChangeGate::arm(loc);
        if (gate) gate->watch_linked_files();
    } catch (const std::exception&) {
        gate.reset();
    }
    while (state.run->load(std::memory_order_relaxed)) {
        sleep_until(wake);
        try {
            auto now = Clock::now();
            bool timed = now - last_full >= full_period;
            bool full = !gate || std::exchange(force_full, false) || timed;
            if (timed && gate) gate->watch_linked_files();  // links made since
            if (gate) {
                ChangeGate::Verdict verdict = gate->poll();
                if (verdict == ChangeGate::Verdict::lost) gate.reset();
                full = full || verdict != ChangeGate::Verdict::quiet;
            }
            if (full) {
                state.status = status_stream(loc.workdir);
                last_full = now;
            }
            std::uint64_t fp = siphash13(0, 0, metadata_stream(loc.git_dirs) + state.status);
            if (fp != state.last && state.sink(state.path)) state.last = fp;
        } catch (const std::exception&) {
            gate.reset();
        }
        wake = Clock::now() + period;
    }
}

}  // namespace

Header changed_event(const std::string& path) {
    Header h;
    h.method = "changed";
    h.data = nlohmann::json::object({{"path", path}});
    return h;
}

WatchService::WatchService(EventSink sink, ThreadStarter start)
    : sink_(std::move(sink)), start_(std::move(start)) {
    if (!start_) start_ = start_detached_thread;
}

int WatchService::watch(const RequestPath& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto [it, inserted] = entries_.try_emplace(path.text, nullptr);
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
    state.path = path.text;
    state.location = locate_repository(path.expanded);
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
