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

struct Block {
    void* data = nullptr;
    std::size_t capacity = 0;
};

struct Kept {
    std::mutex mu;
    std::condition_variable moved;  // the deadline moved or the blocks went
    Block blocks[kMaxKept];
    std::size_t count = 0;
    Clock::time_point deadline;
    bool timer = false;  // a timer thread is waiting for the deadline
    // The largest body released since `largest_since`, at most kKeepFor ago: what a kept
    // block may hold in memory.
    std::size_t largest = 0;
    Clock::time_point largest_since;

    // Takes blocks[i] out of the set.
    Block remove(std::size_t i) {
        Block b = blocks[i];
        blocks[i] = blocks[--count];
        blocks[count] = {};
        moved.notify_all();
        return b;
    }
};

// Never destroyed: the timer thread may outlive everything else at exit.
Kept& kept() {
    static Kept* k = new Kept;
    return *k;
}

// Frees the blocks once the deadline has passed with no release in between.
void expire() {
    Kept& k = kept();
    Block expired[kMaxKept];
    {
        std::unique_lock<std::mutex> lock(k.mu);
        while (k.count > 0 && Clock::now() < k.deadline) k.moved.wait_until(lock, k.deadline);
        for (std::size_t i = 0; i < kMaxKept; ++i) expired[i] = std::exchange(k.blocks[i], {});
        k.count = 0;
        k.timer = false;
    }
    for (const Block& b : expired) std::free(b.data);
}

// Gives the pages of [block + keep, block + capacity) back to the system; the mapping stays,
// and a later touch gets a fresh zero page.
void trim(void* block, std::size_t capacity, std::size_t keep) {
    auto begin = (reinterpret_cast<std::uintptr_t>(block) + keep + kPage - 1) & ~(kPage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(block) + capacity) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

}  // namespace

void* take(std::size_t min_capacity, Pick pick, std::size_t* capacity) {
    Kept& k = kept();
    Block found, stale;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        if (k.count == 0) return nullptr;
        std::size_t best = 0, largest = 0;
        for (std::size_t i = 1; i < k.count; ++i) {
            if (k.blocks[i].capacity > k.blocks[largest].capacity) largest = i;
        }
        best = largest;
        if (pick == Pick::fitting) {
            for (std::size_t i = 0; i < k.count; ++i) {
                const std::size_t c = k.blocks[i].capacity;
                if (c >= min_capacity && c < k.blocks[best].capacity) best = i;
            }
        }
        if (k.blocks[best].capacity >= min_capacity)
            found = k.remove(best);
        else
            stale = k.remove(largest);
    }
    std::free(stale.data);
    *capacity = found.capacity;
    return found.data;
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
    Block displaced;
    bool start_timer;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        if (k.count == kMaxKept) {
            std::size_t smallest = 0;
            for (std::size_t i = 1; i < k.count; ++i) {
                if (k.blocks[i].capacity < k.blocks[smallest].capacity) smallest = i;
            }
            if (k.blocks[smallest].capacity < capacity) displaced = k.remove(smallest);
        }
        if (k.count < kMaxKept) {
            k.blocks[k.count++] = {block, capacity};
        } else {
            displaced = {block, capacity};  // smaller than every kept block
        }
        k.deadline = now + kKeepFor;
        start_timer = !k.timer;
        k.timer = true;
        k.moved.notify_all();
    }
    std::free(displaced.data);
    if (!start_timer) return;
    if (start_detached_thread(expire, kTimerStack) != 0) {
        {
            std::lock_guard<std::mutex> lock(k.mu);
            k.timer = false;
        }
        drop();  // nothing would ever free them: do it now
    }
}

void drop() {
    Kept& k = kept();
    Block dropped[kMaxKept];
    {
        std::lock_guard<std::mutex> lock(k.mu);
        for (std::size_t i = 0; i < kMaxKept; ++i) dropped[i] = std::exchange(k.blocks[i], {});
        k.count = 0;
        k.moved.notify_all();
    }
    for (const Block& b : dropped) std::free(b.data);
}

}  // namespace vesk::large_blocks
