#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/handler.h"
#include "agent/params.h"
#include "linecount/count_lines.h"

namespace vesk {
namespace {

// Each thread, the request's own included, gets at least this many files, so a short list stays
// on the request's thread alone: with headers in the page cache on two CPUs, a second thread
// made 16 files slower (1.13x) and paid from 32 (0.96x; 0.73x at 256).
constexpr std::size_t kFilesPerThread = 16;
// Counting needs little stack: a few frames around system calls.
constexpr std::size_t kHelperStack = 256 * 1024;

// Helper threads of all requests together stay below the CPUs the agent may run on, so
// concurrent requests never start more threads than could run at once.
std::atomic<unsigned> helpers_running{0};

unsigned usable_cpus() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int n = CPU_COUNT(&set);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

// Claims up to `want` helper places; returns how many it got.
unsigned claim_helpers(unsigned want, unsigned cap) {
    unsigned running = helpers_running.load(std::memory_order_relaxed);
    for (;;) {
        unsigned got = running >= cap ? 0 : std::min(want, cap - running);
        if (got == 0) return 0;
        if (helpers_running.compare_exchange_weak(running, running + got)) return got;
    }
}

// One list being counted: every thread takes the next unclaimed index and writes its count
// into that index's place, so the results keep the list's order whoever counted them.
struct Counting {
    const std::vector<RequestPath>& paths;
    std::vector<std::optional<std::uint32_t>>& counts;
    std::atomic<std::size_t> next{0};

    void run() noexcept {
        for (;;) {
            std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= paths.size()) return;
            counts[i] = count_lines(paths[i].expanded);
        }
    }
};

void* helper_main(void* arg) {
    static_cast<Counting*>(arg)->run();
    return nullptr;
}

// Counts every path, on this thread and on as many helpers as are worth it and can be had. A
// helper that cannot be started only leaves more files to the others. All helpers are joined
// before this returns: nothing outlives the request.
std::vector<std::optional<std::uint32_t>> count_all(const std::vector<RequestPath>& paths) {
    std::vector<std::optional<std::uint32_t>> counts(paths.size());
    Counting counting{paths, counts};
    std::vector<pthread_t> helpers;
    unsigned want = 0;
    if (std::size_t threads = paths.size() / kFilesPerThread; threads > 1) {
        unsigned cpus = usable_cpus();
        helpers.reserve(cpus - 1);
        want = claim_helpers(static_cast<unsigned>(std::min<std::size_t>(threads, cpus) - 1),
                             cpus - 1);
    }
    if (want > 0) {
        pthread_attr_t attr;
        if (::pthread_attr_init(&attr) == 0) {
            ::pthread_attr_setstacksize(&attr, kHelperStack);
            for (unsigned k = 0; k < want; ++k) {
                pthread_t t;
                if (::pthread_create(&t, &attr, helper_main, &counting) != 0) break;
                helpers.push_back(t);
            }
            ::pthread_attr_destroy(&attr);
        }
        helpers_running.fetch_sub(want - static_cast<unsigned>(helpers.size()));
    }
    counting.run();
    for (pthread_t t : helpers) ::pthread_join(t, nullptr);
    helpers_running.fetch_sub(static_cast<unsigned>(helpers.size()));
    return counts;
}

}  // namespace

HandlerOutcome handle_fs_countlines(RequestContext& ctx) {
    Decoded<CountParams> d = decode_count_params(ctx.data);
    if (!d) return failure(std::move(d.error));

    nlohmann::json counts = nlohmann::json::array();
    counts.get_ref<nlohmann::json::array_t&>().reserve(d->paths.size());
    for (const std::optional<std::uint32_t>& n : count_all(d->paths))
        counts.push_back(n ? nlohmann::json(*n) : nlohmann::json(nullptr));
    return success(std::move(counts));
}

}  // namespace vesk
