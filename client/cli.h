// The `vesk` command-line tool: the table of commands, parsing (kept apart so it can be tested
// without a terminal or an agent) and running one command against an agent.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vesk::cli {

// Exit statuses of the tool (exec and git exit with the program's own code instead, as a
// shell does; a failed ssh connection with ssh's own 255).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCannotStart = 127;
inline constexpr int kExitSsh = 255;

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Command;

// Everything the command line says. Fields that a command does not use stay empty.
struct Invocation {
    bool help = false;
    bool version = false;
    bool json = false;
    std::optional<std::string> agent;  // --agent PATH
    std::optional<std::string> ssh_host;
    std::optional<std::string> remote_agent;
    std::vector<std::string> ssh_options;  // -p PORT, -i FILE, -o OPTION, for ssh as given
    bool share = true;                     // --no-share: no ssh connection sharing
    const Command* command = nullptr;
    std::string name;                // the command's name
    std::vector<std::string> paths;  // the words after the command that are not options
    bool recursive = false;          // rm -r, put -r, get -r
    bool force = false;              // rm -f: a missing path is no error
    bool long_list = false;          // ls -l
    bool no_preserve_root = false;   // rm --no-preserve-root: / and the home directory too
    std::string dir = ".";           // exec/git -C DIR
    bool no_stdin = false;           // exec/git/call -n
    std::vector<std::pair<std::string, std::string>> env;  // git -e NAME=VALUE
    std::string program;                                   // exec PROGRAM
    std::vector<std::string> args;                         // exec/git arguments
    std::string method;                                    // call METHOD
    std::optional<std::string> data;  // call JSON-DATA, as text (validated while parsing)
};

class Session;

// One row of the command table: what --help, the manual page and the completion show, and
// what runs it.
struct Command {
    const char* name;
    const char* synopsis;  // the arguments, after the name
    const char* summary;   // for --help; lines after the first are indented under it
    const char* options;   // the command's own options, as the completion offers them
    void (*parse)(const std::vector<std::string>& words, Invocation& inv);
    int (*run)(Session& session);
};

// Every command, in the order --help lists them.
const std::vector<Command>& commands();

// Parses argv without argv[0] into inv. Throws UsageError with a one-line reason (inv then
// holds what was understood before it).
void parse(const std::vector<std::string>& args, Invocation& inv);

// Where the default agent is looked for, given the tool's own executable path: beside it,
// then (for a tool in a build tree's client/ directory) in the directory above. Returns the
// first candidate that is an executable file, or nothing.
std::optional<std::string> find_agent_beside(const std::string& self_exe);

// The ssh options that share one connection among runs (ControlMaster and friends), with the
// control sockets in a private directory under $XDG_RUNTIME_DIR or /tmp (made mode 0700 when
// missing). Nothing when no such directory can be had: ssh then connects afresh each time.
std::vector<std::string> sharing_options();

// The --help text.
std::string help_text();

// Runs the tool; returns the exit status.
int run(int argc, char** argv);

}  // namespace vesk::cli
