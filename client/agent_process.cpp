#include "client/agent_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace vesk::client {

namespace {

// The PATH that the environment changes set for the child (the last change wins); nothing
// when they leave ours or remove it.
std::optional<std::string> path_set_for_child(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::optional<std::string> path;
    for (const auto& [name, value] : changes) {
        if (name == "PATH") path = value;
    }
    return path;
}

// posix_spawnp searches the caller's PATH; a PATH given for the child is the one that counts.
// A program found nowhere on it is left to that search.
std::string resolve_program(const std::string& program, const std::string& dirs) {
    if (program.find('/') != std::string::npos) return program;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return program;
        start = colon + 1;
    }
}

// Single-quotes a word for a POSIX shell unless it is plainly safe.
std::string shell_quote(const std::string& word) {
    bool safe = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+=:,@%", c);
    });
    if (safe) return word;
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

}  // namespace

std::string describe_wait_status(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        return "killed by signal " + std::to_string(sig) +
               (name ? " (" + std::string(name) + ")" : "");
    }
    return "ended with wait status " + std::to_string(status);
}

StartOptions local_start(const std::string& agent_path) {
    StartOptions options;
    options.argv = {agent_path, "serve"};
    // A Ctrl-C at the terminal then reaches only the caller, whose end of input makes the
    // agent hang up the programs it runs; an agent killed by the same signal could not.
    options.own_process_group = true;
    return options;
}

StartOptions ssh_start(const std::string& host, const std::string& remote_agent,
                       const std::vector<std::string>& ssh_options) {
    if (host.empty() || host[0] == '-')
        throw std::invalid_argument("not a host name: \"" + host + "\"");
    StartOptions options;
    // ssh hands the remote command to the remote user's shell, so it is one quoted string.
    // A leading "~/" stays outside the quotes so the remote shell still expands it.
    std::string command = remote_agent.rfind("~/", 0) == 0
                              ? "~/" + shell_quote(remote_agent.substr(2))
                              : shell_quote(remote_agent);
    options.argv = {"ssh"};
    options.argv.insert(options.argv.end(), ssh_options.begin(), ssh_options.end());
    options.argv.insert(options.argv.end(), {"--", host, command + " serve"});
    options.through_ssh = true;
    options.capture_stderr = false;
    return options;
}

void start_process(const StartOptions& options, Child& child) {
    if (options.argv.empty()) throw std::runtime_error("cannot start agent: empty command");
    SpawnOptions spawn;
    spawn.argv = options.argv;
    if (std::optional<std::string> path = path_set_for_child(options.env))
        spawn.argv[0] = resolve_program(options.argv[0], *path);
    spawn.cwd = options.cwd;
    spawn.env = options.env;
    spawn.err = options.capture_stderr ? Stdio::pipe : Stdio::inherit;
    spawn.own_process_group = options.own_process_group;
    // spawn_child gives the agent (or ssh) a clean slate: the caller may block or ignore
    // signals (a tool waiting for SIGINT, a program ignoring SIGPIPE).
    if (int e = spawn_child(spawn, child)) {
        std::string why = std::strerror(e);
        if (e == EACCES) why = "it is not executable (" + why + ")";
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + why);
    }
}

}  // namespace vesk::client
