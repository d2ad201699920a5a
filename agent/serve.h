// The serve loop: reads requests from the input descriptor on the calling thread and serves
// each on a worker thread of its own; returns when input ends or can no longer be trusted.
#pragma once

#include <cstddef>
#include <functional>

namespace vesk {

// Starts fn on a new detached thread with the given stack size; 0 or an errno value.
using ThreadStarter = std::function<int(std::function<void()> fn, std::size_t stack_size)>;

struct ServeOptions {
    int in_fd = 0;
    int out_fd = 1;
    ThreadStarter start_thread;  // empty: real detached pthreads
    // Hold the output lock when returning, so the process can exit without cutting a message
    // in half. Tests that run serve() in-process turn it off.
    bool seal_output = true;
};

inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

enum class ServeEnd {
    finished,         // input ended or became untrustworthy; the process should exit 0
    no_worker_thread  // a worker could not be started even with no other worker running
};

ServeEnd serve(const ServeOptions& options);

}  // namespace vesk
