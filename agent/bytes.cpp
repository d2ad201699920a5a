#include "agent/bytes.h"

#include <sys/mman.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/sys.h"

namespace vesk::large_blocks {

namespace {

using Clock = std::chrono::steady_clock;

// Long enough to bridge the pauses of a controller that moves large bodies now and then (a
// person looking at one file before opening the next); short enough that an agent left idle
// soon holds nothing, and its timer thread is gone with the block.
constexpr std::chrono::seconds kKeepFor{20};
constexpr std::size_t kTimerStack = 64 * 1024;
constexpr std::uintptr_t kPage = 4096;

struct Kept {
    std::mutex mu;
    std::condition_variable moved;  // the deadline moved or the block went
    void* block = nullptr;
    std::size_t capacity = 0;
    Clock::time_point deadline;
    bool timer = false;  // a timer thread is waiting for the deadline
    // The largest body released since `largest_since`, at most kKeepFor ago: what the kept
    // block may hold in memory.
    std::size_t largest = 0;
    Clock::time_point largest_since;
};

// Never destroyed: the timer thread may outlive everything else at exit.
Kept& kept() {
    static Kept* k = new Kept;
    return *k;
}

// Frees the block once the deadline has passed with no release in between.
void expire() {
    Kept& k = kept();
    void* expired = nullptr;
    {
        std::unique_lock<std::mutex> lock(k.mu);
        while (k.block && Clock::now() < k.deadline) k.moved.wait_until(lock, k.deadline);
        expired = k.block;
        k.block = nullptr;
        k.capacity = 0;
        k.timer = false;
    }
    std::free(expired);
}

// Gives the pages of [block + keep, block + capacity) back to the system; the mapping stays,
// and a later touch gets a fresh zero page.
void trim(void* block, std::size_t capacity, std::size_t keep) {
    auto begin = (reinterpret_cast<std::uintptr_t>(block) + keep + kPage - 1) & ~(kPage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(block) + capacity) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

}  // namespace

void* take(std::size_t min_capacity, std::size_t* capacity) {
    Kept& k = kept();
    void* stale = nullptr;
    void* found = nullptr;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        if (!k.block) return nullptr;
        if (k.capacity >= min_capacity) {
            found = k.block;
            *capacity = k.capacity;
        } else {
            stale = k.block;
        }
        k.block = nullptr;
        k.capacity = 0;
        k.moved.notify_all();
    }
    std::free(stale);
    return found;
}

void give(void* block, std::size_t capacity, std::size_t used) {
    Kept& k = kept();
    const Clock::time_point now = Clock::now();
    std::size_t keep;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        if (used >= k.largest || now - k.largest_since >= kKeepFor) {
            k.largest = used;
            k.largest_since = now;
        }
        keep = k.largest;
    }
    // Pages an earlier, larger body left in this block count as held too. Trimmed before the
    // block is shared: a taker would lose what it wrote there.
    trim(block, capacity, keep);
    void* older;
    bool start_timer;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        older = k.block;
        k.block = block;
        k.capacity = capacity;
        k.deadline = now + kKeepFor;
        start_timer = !k.timer;
        k.timer = true;
        k.moved.notify_all();
    }
    std::free(older);
    if (!start_timer) return;
    if (start_detached_thread(expire, kTimerStack) != 0) {
        {
            std::lock_guard<std::mutex> lock(k.mu);
            k.timer = false;
        }
        drop();  // nothing would ever free it: do it now
    }
}

void drop() {
    Kept& k = kept();
    void* block;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        block = k.block;
        k.block = nullptr;
        k.capacity = 0;
        k.moved.notify_all();
    }
    std::free(block);
}

}  // namespace vesk::large_blocks
