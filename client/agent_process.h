// Starting a vesk-agent process, locally or through ssh: the command line and the spawn. The
// session over the started process is AgentClient (client/agent_client.h).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/spawn.h"

namespace vesk::client {

struct StartOptions {
    std::vector<std::string> argv;  // program and arguments, e.g. {agent, "serve"}
    // Environment changes applied to the child: a value sets, nullopt removes. A PATH set
    // here is also where a bare program name in argv[0] is looked up (argv[0] then becomes
    // the path found).
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    std::optional<std::string> cwd;
    bool capture_stderr = true;  // otherwise the child shares ours
    // The child leads a process group of its own, so signals sent to the caller's group (a
    // Ctrl-C) pass it by. ssh stays in the caller's group: it may need the terminal to ask.
    bool own_process_group = false;
    // Text before the first frame then comes from the remote login shell (for the message).
    bool through_ssh = false;
};

// `agent_path serve`, started directly, in a process group of its own.
StartOptions local_start(const std::string& agent_path);
// `ssh [SSH_OPTIONS] -- HOST REMOTE_AGENT serve`, with ssh found through PATH. The remote
// command is quoted for the remote shell. ssh's standard error is ours: its prompts, warnings
// and failures reach the user as ssh's own. Throws std::invalid_argument for an empty host or
// one that starts with "-" (ssh would read it as an option).
StartOptions ssh_start(const std::string& host, const std::string& remote_agent = "vesk-agent",
                       const std::vector<std::string>& ssh_options = {});

// Spawns the process with its three standard streams as pipes (standard error only when
// captured). Throws std::runtime_error naming the program when it cannot be started; a
// program that is there but not executable is named as such.
void start_process(const StartOptions& options, Child& child);

// A wait status as words: "exited with status 3", "killed by signal 9 (Killed)".
std::string describe_wait_status(int status);

}  // namespace vesk::client
