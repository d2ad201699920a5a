// The serve loop: reads requests from the input descriptor and serves each, small ones on the
// thread that read them and the rest on a worker at once; returns when input ends or can no
// longer be trusted.
//
// Thread rules: one thread at a time holds the reading role; when the request it runs inline
// takes too long, a monitor hands the role to another thread. Handlers run through dispatch and
// hand the reply to the message writer; nothing else writes output but the watchers' events.
// No request waits behind another, except a request for a path text behind an earlier one for
// the same path (see PathTurns).
#pragma once

#include <functional>

#include "common/sys.h"

namespace vesk {

struct ServeOptions {
    int in_fd = 0;
    int out_fd = 1;
    ThreadStarter start_thread;  // for workers; empty: real detached pthreads
    // Hold the output when returning, so the process can exit without cutting a message in
    // half. Tests that run serve() in-process turn it off.
    bool seal_output = true;
    // Called once input has ended, to hang up the programs still running (the agent's child
    // registry); empty: none to hang up.
    std::function<void()> hang_up_children;
};

// Serves until input ends. On the way out: watchers stop, running children are hung up, file
// changes in flight finish, and queued output gets a bounded time to leave.
void serve(const ServeOptions& options);

}  // namespace vesk
