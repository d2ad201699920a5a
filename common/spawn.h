// spawn_child: the one way this project starts a program, for the agent's "exec", "git" and
// probes, for the client starting a local or ssh agent, and for the tests.
//
// Hygiene, always: every signal at its default disposition and an empty mask, so a SIGPIPE we
// ignore never leaks into the program; the child sees descriptors 0, 1 and 2 only (everything
// else is closed, inherited ones included); the working directory changes before the program
// is looked up, so "./tool" means the directory's tool; a bare name is searched on the child's
// own PATH. Our pipe ends are close-on-exec and never land on 0, 1 or 2.
//
// The child shares our memory until its exec (never fork in a threaded process) and runs on the
// starting thread's stack, which is suspended meanwhile; it makes system calls only. A failure
// before the exec (directory, program, descriptors) comes back from spawn_child itself.
//
// Steps for a caller: fill SpawnOptions, call spawn_child, use the pipe ends in the Child, then
// wait() for it. A Child that is destroyed before it was reaped kills (SIGKILL) and reaps it,
// so no early return leaves a running child or a zombie behind.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/sys.h"

namespace vesk {

enum class Stdio {
    pipe,     // a pipe whose other end is in Child
    null,     // /dev/null
    inherit,  // ours
};

struct SpawnOptions {
    std::vector<std::string> argv;   // argv[0] is also the program; a bare name is searched in PATH
    std::optional<std::string> cwd;  // nothing: ours
    // Applied in order on top of the inherited environment: a value sets the variable,
    // nothing removes it; a later entry for a name wins.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    Stdio in = Stdio::pipe;
    Stdio out = Stdio::pipe;
    Stdio err = Stdio::pipe;
    // The child leads a process group of its own, so the whole group can be hung up at once.
    bool own_process_group = false;
};

class Child {
  public:
    Child() = default;
    Child(Child&& o) noexcept;
    Child& operator=(Child&& o) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    explicit operator bool() const { return pid_ > 0; }

    // Blocks until the child has ended. 0 (the wait status in *status) or an errno value.
    int wait(int* status);
    // Reaps the child if it has ended: 0 (then check ended()) or an errno value.
    int poll_exit();
    bool ended() const { return reaped_; }
    // The wait status once ended().
    int status() const { return status_; }

    unique_fd in;   // write end of its standard input, for Stdio::pipe
    unique_fd out;  // read end of its standard output
    unique_fd err;  // read end of its standard error

  private:
    friend int spawn_child(const SpawnOptions& options, Child& child);
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

// Starts the program. 0, or the errno value of the failure (the program not found or not
// executable, the directory missing, out of descriptors); child is untouched then.
int spawn_child(const SpawnOptions& options, Child& child);

}  // namespace vesk
