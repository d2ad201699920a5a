// The serve loop: reads requests from the input descriptor and serves each, small ones on the
// thread that read them and the rest on a worker at once; returns when input ends or can no
// longer be trusted.
//
// Thread rules: one thread at a time holds the reading role; when the request it runs inline
// takes too long, a monitor hands the role to another thread. Handlers run through dispatch and
// hand the reply to the message writer; nothing else writes output but the watchers' events.
// No request waits behind another, except a write to a path behind an earlier write to the
// same path.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/sys.h"

namespace vesk {

struct MethodRow;
using MethodLookup = const MethodRow* (*)(std::string_view method);

struct ServeOptions {
    int in_fd = 0;
    int out_fd = 1;
    ThreadStarter start_thread;  // empty: real detached pthreads
    // Hold the output when returning, so the process can exit without cutting a message in
    // half. Tests that run serve() in-process turn it off.
    bool seal_output = true;
    MethodLookup find_method = nullptr;  // null: the agent's own methods
};

inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

// Serves until input ends. On the way out: watchers stop, running children are hung up, file
// changes in flight finish, and queued output gets a bounded time to leave.
void serve(const ServeOptions& options);

}  // namespace vesk
