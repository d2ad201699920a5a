// How much of a child's output run_command keeps before it gives up on the run.
//
// A reply carries stdout as one body frame and stderr inside the JSON header, and both frames
// have 32-bit lengths. Past those sizes the reply could not be written anyway, so the child is
// killed and reaped instead of letting the agent grow until the system kills it.
#pragma once

#include <cstddef>

#include "agent/exec/run_command.h"
#include "common/codec.h"

namespace vesk {

struct CaptureLimits {
    // The largest body frame.
    std::size_t max_stdout = kMaxWrittenFrameLen;
    // stderr travels JSON-escaped in the header: one raw byte can become six ("\u001b"), and
    // the rest of the envelope needs some room too.
    std::size_t max_stderr = (kMaxWrittenFrameLen - 4096u) / 6u;
};

// run_command with explicit limits; exceeding one answers "Message too long (os error 90)".
RunResult run_command(const ChildSpec& desc, Bytes input, const CaptureLimits& limits);

}  // namespace vesk
