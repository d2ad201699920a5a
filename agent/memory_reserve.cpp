#include "agent/memory_reserve.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <new>

namespace vesk {
namespace {

constexpr std::size_t kMemoryReserve = 4u << 20;
// Allocations up to this size wait for memory instead of failing: the envelope's and the JSON
// values' own pieces, whose failure would leave a request without any reply.
constexpr std::size_t kSmallAllocation = 64u << 10;
// How long a small allocation waits outside unwinding before it fails after all: a thread that
// waits while holding a lock others need to give memory back must not wait for ever.
constexpr std::chrono::milliseconds kSmallPatience{10'000};

std::atomic<void*> memory_reserve{nullptr};

bool release_memory_reserve() {
    void* reserve = memory_reserve.exchange(nullptr);
    std::free(reserve);
    return reserve != nullptr;
}

}  // namespace

void renew_memory_reserve() {
    if (memory_reserve.load(std::memory_order_relaxed)) return;
    void* reserve = std::malloc(kMemoryReserve);
    void* none = nullptr;
    if (reserve && !memory_reserve.compare_exchange_strong(none, reserve)) std::free(reserve);
}

bool back_off(int& attempt, std::chrono::milliseconds& waited, std::chrono::milliseconds patience) {
    if (waited >= patience) return false;
    const long millis = std::min(1L << std::min(attempt, 6), 50L);
    ++attempt;
    timespec t{0, millis * 1'000'000};
    ::nanosleep(&t, nullptr);  // allocates nothing, unlike the standard library's sleeps
    waited += std::chrono::milliseconds(millis);
    return true;
}

// Called once malloc has failed for n bytes: the policy of the header comment.
void* allocate_after_failure(std::size_t n) {
    if (release_memory_reserve()) {
        if (void* p = std::malloc(n)) return p;
    }
    int attempt = 0;
    std::chrono::milliseconds waited{0};
    for (;;) {
        const bool unwinding = std::uncaught_exceptions() > 0;
        if (!unwinding && (n > kSmallAllocation || !back_off(attempt, waited, kSmallPatience)))
            throw std::bad_alloc();
        if (unwinding) back_off(attempt, waited, std::chrono::milliseconds::max());
        if (void* p = std::malloc(n)) return p;
    }
}

}  // namespace vesk

// The sanitizers bring their own allocator and cannot run under a memory cap anyway.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VESK_OWN_OPERATOR_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VESK_OWN_OPERATOR_NEW 0
#endif
#endif
#ifndef VESK_OWN_OPERATOR_NEW
#define VESK_OWN_OPERATOR_NEW 1
#endif

#if VESK_OWN_OPERATOR_NEW
// The standard library's other forms (arrays, nothrow) come through this one; its operator
// delete frees with free(), as malloc wants.
void* operator new(std::size_t n) {
    if (n == 0) n = 1;
    if (void* p = std::malloc(n)) return p;
    return vesk::allocate_after_failure(n);
}
#endif
