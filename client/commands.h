// The pieces the command table (client/cli.cpp) is made of: the session a command runs in, the
// shared parsers, and each family's parse and run functions (client/cmd_*.cpp).
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/agent_client.h"
#include "client/cli.h"

namespace vesk::cli {

// The connection to the agent is lost, and the text says all there is to say.
struct ConnectionLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One run of one command: the invocation, and the agent, started when first asked for.
class Session {
  public:
    explicit Session(const Invocation& invocation) : inv(invocation) {}
    const Invocation& inv;
    client::AgentClient& agent();
    // The connection to the agent is lost: ends the run with ssh's own 255 when ssh could not
    // make or keep it (it has said why), otherwise with ConnectionLost naming the cause.
    [[noreturn]] void connection_lost(const std::string& why);

  private:
    std::unique_ptr<client::AgentClient> client_;
};

// The words after a command that takes paths: its own options (own() says which, and applies
// them) and the tool's long options may stand anywhere among the paths, until "--".
void take_paths(const std::vector<std::string>& words, Invocation& inv,
                const std::function<bool(const std::string&)>& own);
// A cluster of one-letter flags ("-rf"), each of them one of letters.
bool flags_of(const std::string& word, std::string_view letters);
void expect_count(const Invocation& inv, std::size_t min, std::size_t max);
// Paths only, at least one.
void parse_paths(const std::vector<std::string>& words, Invocation& inv);

// What a command that prints nothing says with --json: the path it acted on.
void done_with(const Invocation& inv, const std::string& path);
// Whether an error text of the agent is the system's error err ("... (os error N)").
bool is_os_error(const std::string& text, int err);
// Why a path that fs.stat reports as absent is.
std::string absent_because(client::AgentClient& c, const std::string& path);

// Files and copies (cmd_files.cpp).
void parse_put_get(const std::vector<std::string>& words, Invocation& inv);
int run_cat(Session& s);
int run_put(Session& s);
int run_get(Session& s);
// The file system (cmd_fs.cpp).
void parse_ls(const std::vector<std::string>& words, Invocation& inv);
void parse_rm(const std::vector<std::string>& words, Invocation& inv);
int run_stat(Session& s);
int run_ls(Session& s);
int run_mkdir(Session& s);
int run_rm(Session& s);
int run_realpath(Session& s);
int run_wc(Session& s);
// Programs and the agent itself (cmd_programs.cpp).
void parse_none(const std::vector<std::string>& words, Invocation& inv);
void parse_exec(const std::vector<std::string>& words, Invocation& inv);
void parse_git(const std::vector<std::string>& words, Invocation& inv);
void parse_call(const std::vector<std::string>& words, Invocation& inv);
int run_hello(Session& s);
int run_exec(Session& s);
int run_git(Session& s);
int run_call(Session& s);
int run_watch(Session& s);

}  // namespace vesk::cli
