#include "agent/bytes.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/sys.h"

namespace vesk::large_blocks {

namespace {

// Long enough to bridge the gap between transfers of a busy controller; short enough that an
// idle agent gives the memory back soon.
constexpr std::chrono::seconds kKeepFor{5};
constexpr std::size_t kTimerStack = 64 * 1024;

struct Kept {
    std::mutex mu;
    void* block = nullptr;
    std::size_t capacity = 0;
    std::uint64_t generation = 0;  // moves on with every change, so a stale timer does nothing
};

// Never destroyed: timer threads may outlive everything else at exit.
Kept& kept() {
    static Kept* k = new Kept;
    return *k;
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
        ++k.generation;
    }
    std::free(stale);
    return found;
}

void give(void* block, std::size_t capacity) {
    Kept& k = kept();
    void* older;
    std::uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        older = k.block;
        k.block = block;
        k.capacity = capacity;
        generation = ++k.generation;
    }
    std::free(older);
    int rc = start_detached_thread(
        [generation] {
            std::this_thread::sleep_for(kKeepFor);
            Kept& k = kept();
            void* expired = nullptr;
            {
                std::lock_guard<std::mutex> lock(k.mu);
                if (k.generation != generation) return;
                expired = k.block;
                k.block = nullptr;
                k.capacity = 0;
                ++k.generation;
            }
            std::free(expired);
        },
        kTimerStack);
    if (rc != 0) drop();  // nothing would ever free it: do it now
}

void drop() {
    Kept& k = kept();
    void* block;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        block = k.block;
        k.block = nullptr;
        k.capacity = 0;
        ++k.generation;
    }
    std::free(block);
}

}  // namespace vesk::large_blocks
