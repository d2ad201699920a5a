// The repository watcher behind "watch": one detached thread per watched path text that polls
// the repository fingerprint and writes a "changed" event when it moves.
//
// The watcher owns its state; the run flag is the only thing it shares with the registry, and
// it never takes the registry lock, so the registry lock and the output lock are never nested.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "agent/git/registry.h"
#include "agent/git/repository.h"
#include "agent/wire.h"

namespace vesk {

inline constexpr std::chrono::seconds kWatchPollPeriod{2};

struct WatcherState {
    std::string path;  // the path text as the controller sent it; echoed in every event
    RepoLocation location;
    RunFlag run;
    std::shared_ptr<SharedOutput> output;
    std::uint64_t last = 0;  // fingerprint of the previous poll
};

// Polls until the run flag is cleared: sleep a full period, fingerprint, write one event if it
// differs from the last. The flag is checked after the poll, so a watcher stopped while asleep
// still finishes that poll. Tests pass a shorter period; "watch" always uses kWatchPollPeriod.
void run_watcher(WatcherState state, std::chrono::nanoseconds period);

// How "watch" starts the watcher thread; replaced by a unit test to simulate a failed start.
using ThreadStarter = int (*)(std::function<void()> fn, std::size_t stack_size);
extern ThreadStarter watcher_thread_starter;

}  // namespace vesk
