// The serve loop: reads requests from the input descriptor on the calling thread and serves
// each on a worker thread at once; returns when input ends or can no longer be trusted.
//
// Thread rules: the loop alone reads input. Workers run handlers through dispatch and hand the
// reply to the message writer; nothing else writes output but the watchers' events. No request
// waits behind another, except a write to a path behind an earlier write to the same path.
#pragma once

#include <cstddef>

#include "common/sys.h"

namespace vesk {

struct ServeOptions {
    int in_fd = 0;
    int out_fd = 1;
    ThreadStarter start_thread;  // empty: real detached pthreads
    // Hold the output when returning, so the process can exit without cutting a message in
    // half. Tests that run serve() in-process turn it off.
    bool seal_output = true;
};

inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

// Serves until input ends. On the way out: watchers stop, running children are hung up, file
// changes in flight finish, and queued output gets a bounded time to leave.
void serve(const ServeOptions& options);

}  // namespace vesk
