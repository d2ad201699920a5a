// What a process holds, read from /proc: descriptors, threads and child processes. Leak checks
// compare it before and after a burst of work.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "support/harness.h"

namespace vesk::test {

struct ChildInfo {
    pid_t pid;
    std::string comm;
    char state;  // as in /proc/PID/stat: 'Z' for a zombie
};

struct ProcState {
    std::string exe;               // the executable /proc/PID/exe points at
    std::vector<std::string> fds;  // "N -> target", sorted
    std::size_t threads = 0;
    std::vector<std::string> children;  // "pid (comm) state"

    std::string describe() const;
};

// ThreadSanitizer starts a background thread of its own along with the program's first thread,
// so an agent that has served anything has one thread more than before its first request.
inline constexpr std::size_t kRuntimeThreads = kThreadSanitizer ? 1 : 0;

std::vector<ChildInfo> children_of(pid_t parent);
ProcState proc_state(pid_t pid);

// The state once it has stopped changing. With expected_exe set, also waits until the process
// runs that executable (past a wrapper shell that execs it).
ProcState settled_state(pid_t pid, const std::string& expected_exe = {});

// Waits (up to timeout) until the process holds exactly idle's descriptors, `threads` threads
// and no child, running or zombie. On failure *last describes what it held last.
bool back_to_idle(pid_t pid, const ProcState& idle, std::size_t threads, std::string* last,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace vesk::test
