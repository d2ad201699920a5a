// run_command: the child process service behind "exec", "git", the hello probe and the
// repository fingerprint.
//
// Steps for a caller: fill a ChildSpec, call run_command with the input bytes, and read what
// happened to the child from the result ("exec" and "git" turn it into a reply with
// command_reply, beside exec). The child starts through spawn_child (common/spawn.h) in a
// process group of its own; it sees exactly three descriptors of ours: its stdin (a pipe when
// input is non-empty, /dev/null otherwise) and two pipes for stdout and stderr, which are
// drained together so neither can stall the other. Every child is reaped.
//
// Contract: a child that cannot be started is not a failure of run_command: it comes back as a
// ChildOutput with started false, code -1 and the start error's text in stderr_bytes. Only a
// failure while reading the outputs or waiting (or output too large for one reply) is returned
// as a text.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "agent/bytes.h"

namespace vesk {

struct ChildSpec {
    std::string program;             // also argument zero; a bare name is searched in PATH
    std::vector<std::string> args;   // after argument zero
    std::optional<std::string> cwd;  // nothing: the agent's own working directory
    // Applied in order on top of the inherited environment; a later pair for a name wins.
    std::vector<std::pair<std::string, std::string>> env;
};

struct ChildOutput {
    Bytes stderr_bytes;   // raw, or the start error's text
    int code = -1;        // exit code, or -1 for a signal or a failed start
    Bytes stdout_bytes;   // raw
    bool started = true;  // false when the child could not be started at all
};

// What happened to the child, or the text of a failure to run it to its end.
using RunResult = std::variant<ChildOutput, std::string>;

RunResult run_command(const ChildSpec& desc, Bytes input = {});

// Sends SIGHUP to the process group of every child still running, as a terminal hang-up does,
// and to every child started from now on. Called once input has ended: their replies can no
// longer be delivered, and nothing else would ever stop them.
void hang_up_children();

}  // namespace vesk
