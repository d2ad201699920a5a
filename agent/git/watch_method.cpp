// "watch" and "unwatch", and the watcher thread they start and stop.
#include <time.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <utility>

#include "agent/dispatch.h"
#include "agent/git/registry.h"
#include "agent/git/watcher.h"
#include "agent/params.h"
#include "agent/sys.h"

namespace vesk {

ThreadStarter watcher_thread_starter = start_detached_thread;

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

Header changed_event(const std::string& path) {
    Header h;
    h.id = 0;
    h.method = "changed";
    h.data = nlohmann::json::object({{"path", path}});
    return h;
}

}  // namespace

void run_watcher(WatcherState state, std::chrono::nanoseconds period) {
    while (state.run->load(std::memory_order_relaxed)) {
        sleep_full(period);
        // Nothing may escape a detached thread; a poll that runs out of memory is skipped and
        // the next one compares against the last good fingerprint.
        try {
            std::uint64_t now =
                repository_fingerprint(state.location.workdir, state.location.git_dirs);
            if (now != state.last) {
                write_message(*state.output, changed_event(state.path));
                state.last = now;
            }
        } catch (const std::exception&) {
        }
    }
}

HandlerOutcome handle_watch(RequestContext& ctx) {
    auto params = decode_path_params(ctx.data);
    if (!params) return failure(std::move(params.error));
    const std::string& path = params->path;

    WatcherRegistry& registry = *ctx.registry;
    std::lock_guard<std::mutex> lock(registry.mutex());
    auto& entries = registry.entries();
    auto [it, inserted] = entries.try_emplace(path, nullptr);
    if (!inserted) return success();

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
    } guard{entries, it};

    it->second = std::make_shared<std::atomic<bool>>(true);
    WatcherState state;
    state.path = path;
    state.location = locate_repository(path);
    state.last = repository_fingerprint(state.location.workdir, state.location.git_dirs);
    state.run = it->second;
    state.output = ctx.output;

    int rc = watcher_thread_starter(
        [state = std::move(state)]() mutable { run_watcher(std::move(state), kWatchPollPeriod); },
        0);
    if (rc != 0) return failure(os_error_text(rc));
    guard.keep = true;
    return success();
}

HandlerOutcome handle_unwatch(RequestContext& ctx) {
    auto params = decode_path_params(ctx.data);
    if (!params) return failure(std::move(params.error));

    WatcherRegistry& registry = *ctx.registry;
    std::lock_guard<std::mutex> lock(registry.mutex());
    auto found = registry.entries().find(params->path);
    if (found != registry.entries().end()) {
        found->second->store(false, std::memory_order_relaxed);
        registry.entries().erase(found);
    }
    return success();
}

}  // namespace vesk
