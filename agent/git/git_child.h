// The host's git as a child process: found on the search path like any bare program name (the
// git method, the hello probe and the repository fingerprint all run it this way).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/exec/run_command.h"

namespace vesk {

// A child description for git with args, run in cwd (nothing: the agent's own directory).
inline ChildSpec git_child(std::optional<std::string> cwd, std::vector<std::string> args) {
    ChildSpec desc;
    desc.program = "git";
    desc.args = std::move(args);
    desc.cwd = std::move(cwd);
    return desc;
}

}  // namespace vesk
