// What the agent does when memory runs out: it answers, it never ends.
//
// A failed allocation first takes back a reserve kept for the purpose, then:
// - a large one fails at once (std::bad_alloc): the request that wanted it is answered with the
//   out-of-memory text, and the memory the others hold is not waited for;
// - a small one, or any made while an exception unwinds the stack, waits with a short back-off
//   until memory comes back, as it does when requests in flight finish. Destructors allocate
//   (a JSON value flattens its children onto a heap stack as it is destroyed), and a throw out
//   of a destructor ends the process, so these must not fail while there is any hope.
//
// The reserve is taken again by renew_memory_reserve(), which the serve loop and the workers
// call between requests.
#pragma once

#include <chrono>

namespace vesk {

// Takes the reserve again if it was given back and memory allows. Cheap when it is held.
void renew_memory_reserve();

// Sleeps a little longer at each attempt (attempt counts from 0), up to a short ceiling; false
// once `patience` has been spent in all, so the caller gives up.
bool back_off(int& attempt, std::chrono::milliseconds& waited, std::chrono::milliseconds patience);

}  // namespace vesk
