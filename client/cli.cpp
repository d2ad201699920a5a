#include "client/cli.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "client/agent_client.h"
#include "client/progress.h"

namespace vesk::cli {

namespace {

using nlohmann::json;
using vesk::client::AgentClient;

const char kUsageLine[] =
    "usage: vesk [--agent PATH | --ssh HOST [--remote-agent PATH]] [--json] COMMAND [ARG...]";

// ---- parsing -------------------------------------------------------------------------------

// Takes the value of an option given either as "--name VALUE" or "--name=VALUE".
bool take_value(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                std::optional<std::string>& out) {
    const std::string& a = args[i];
    if (a == name) {
        if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
        out = args[++i];
        return true;
    }
    if (a.rfind(name + "=", 0) == 0) {
        out = a.substr(name.size() + 1);
        return true;
    }
    return false;
}

void expect_count(const Invocation& inv, std::size_t min, std::size_t max) {
    if (inv.paths.size() < min) throw UsageError(inv.command + ": missing PATH");
    if (inv.paths.size() > max) throw UsageError(inv.command + ": too many arguments");
}

// Options of exec and git; parsing stops at "--" or at the first word that is not one of them,
// so the program's own options pass through untouched.
std::size_t parse_run_options(const std::vector<std::string>& rest, Invocation& inv,
                              bool allow_env) {
    std::size_t i = 0;
    for (; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (a == "--") return i + 1;
        if (a == "-C") {
            if (i + 1 >= rest.size()) throw UsageError(inv.command + ": -C needs a directory");
            inv.dir = rest[++i];
        } else if (a == "-n") {
            inv.no_stdin = true;
        } else if (allow_env && a == "-e") {
            if (i + 1 >= rest.size()) throw UsageError("git: -e needs NAME=VALUE");
            const std::string& kv = rest[++i];
            std::size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0)
                throw UsageError("git: -e wants NAME=VALUE, got \"" + kv + "\"");
            inv.env.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        } else {
            return i;
        }
    }
    return i;
}

void parse_command(const std::vector<std::string>& rest, Invocation& inv) {
    const std::string& c = inv.command;
    if (c == "hello") {
        if (!rest.empty()) throw UsageError("hello takes no arguments");
    } else if (c == "cat" || c == "stat" || c == "wc" || c == "watch") {
        inv.paths = rest;
        expect_count(inv, 1, SIZE_MAX);
    } else if (c == "ls") {
        inv.paths = rest.empty() ? std::vector<std::string>{"."} : rest;
        expect_count(inv, 1, 1);
    } else if (c == "put" || c == "mkdir" || c == "realpath") {
        inv.paths = rest;
        expect_count(inv, 1, 1);
    } else if (c == "rm") {
        for (const std::string& a : rest) {
            if (a == "-r" || a == "-R" || a == "--recursive")
                inv.recursive = true;
            else
                inv.paths.push_back(a);
        }
        expect_count(inv, 1, 1);
    } else if (c == "exec") {
        std::size_t i = parse_run_options(rest, inv, false);
        if (i >= rest.size()) throw UsageError("exec: missing PROGRAM");
        inv.program = rest[i];
        inv.args.assign(rest.begin() + static_cast<std::ptrdiff_t>(i) + 1, rest.end());
    } else if (c == "git") {
        std::size_t i = parse_run_options(rest, inv, true);
        inv.args.assign(rest.begin() + static_cast<std::ptrdiff_t>(i), rest.end());
    } else if (c == "call") {
        std::size_t i = 0;
        if (i < rest.size() && rest[i] == "-n") {
            inv.no_stdin = true;
            ++i;
        }
        if (i >= rest.size()) throw UsageError("call: missing METHOD");
        inv.method = rest[i++];
        if (i < rest.size()) {
            inv.data = rest[i++];
            if (!json::accept(*inv.data)) throw UsageError("call: JSON-DATA is not valid JSON");
        }
        if (i < rest.size()) throw UsageError("call: too many arguments");
    } else {
        throw UsageError("unknown command \"" + c + "\"");
    }
}

// ---- output helpers ------------------------------------------------------------------------

std::mutex out_mu;

void write_out(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(out_mu);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void write_err(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void complain(const std::string& text) {
    write_err("vesk: " + text + "\n");
}

// JSON output never fails on bytes that are not UTF-8 (file names, program output).
std::string dump(const json& j, int indent = -1) {
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

std::string read_stdin() {
    std::string data;
    char buf[1 << 16];
    for (;;) {
        ssize_t r = ::read(0, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        data.append(buf, static_cast<std::size_t>(r));
    }
    return data;
}

// exec, git and call take their body from standard input unless it is a terminal (a person
// typing is not a body) or -n says not to.
std::string body_from_stdin(const Invocation& inv) {
    if (inv.no_stdin || ::isatty(0)) return {};
    return read_stdin();
}

std::string local_time_now() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// ---- commands ------------------------------------------------------------------------------

int cmd_hello(AgentClient& c, const Invocation& inv) {
    if (inv.json) {
        client::Message m = c.request("hello");
        if (m.error) throw client::RequestError("hello", *m.error);
        write_out(dump(m.data) + "\n");
        return kExitOk;
    }
    client::Hello h = c.hello();
    std::string out;
    out += "agent     vesk-agent " + h.version + " (protocol " + std::to_string(h.protocol) + ")\n";
    out += "system    " + h.os + " " + h.arch + "\n";
    out += "home      " + (h.home.empty() ? std::string("(not set)") : h.home) + "\n";
    out += "git       " + h.git.value_or("(not available)") + "\n";
    write_out(out);
    return kExitOk;
}

int cmd_cat(AgentClient& c, const Invocation& inv) {
    int status = kExitOk;
    for (const std::string& p : inv.paths) {
        try {
            write_out(c.read_file(p));
        } catch (const client::RequestError& e) {
            complain(p + ": " + e.text());
            status = kExitFailed;
        }
    }
    return status;
}

int cmd_put(AgentClient& c, const Invocation& inv) {
    c.write_file(inv.paths[0], read_stdin());
    return kExitOk;
}

int cmd_stat(AgentClient& c, const Invocation& inv) {
    int status = kExitOk;
    json all = json::array();
    std::string out;
    for (const std::string& p : inv.paths) {
        client::FileStat s = c.stat(p);
        if (!s.exists) status = kExitFailed;
        all.push_back({{"path", p}, {"exists", s.exists}, {"is_dir", s.is_dir}, {"len", s.len}});
        if (!s.exists)
            out += p + ": does not exist\n";
        else
            out += p + ": " + (s.is_dir ? "directory" : "file") + ", " + std::to_string(s.len) +
                   " bytes\n";
    }
    write_out(inv.json ? dump(all) + "\n" : out);
    return status;
}

int cmd_ls(AgentClient& c, const Invocation& inv) {
    std::vector<std::string> names = c.readdir(inv.paths[0]);
    if (inv.json) {
        write_out(dump(names) + "\n");
        return kExitOk;
    }
    std::string out;
    for (const std::string& n : names) out += n + "\n";
    write_out(out);
    return kExitOk;
}

int cmd_mkdir(AgentClient& c, const Invocation& inv) {
    c.mkdirp(inv.paths[0]);
    return kExitOk;
}

int cmd_rm(AgentClient& c, const Invocation& inv) {
    c.remove(inv.paths[0], inv.recursive);
    return kExitOk;
}

int cmd_realpath(AgentClient& c, const Invocation& inv) {
    std::string p = c.canonicalize(inv.paths[0]);
    write_out(inv.json ? dump(json(p)) + "\n" : p + "\n");
    return kExitOk;
}

int cmd_wc(AgentClient& c, const Invocation& inv) {
    std::vector<std::optional<std::uint32_t>> counts = c.countlines(inv.paths);
    json all = json::array();
    std::string out;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        all.push_back({{"path", inv.paths[i]}, {"lines", counts[i] ? json(*counts[i]) : json()}});
        std::string n = counts[i] ? std::to_string(*counts[i]) : "-";
        if (counts[i]) total += *counts[i];
        out += std::string(n.size() < 8 ? 8 - n.size() : 0, ' ') + n + " " + inv.paths[i] + "\n";
    }
    if (counts.size() > 1) {
        std::string n = std::to_string(total);
        out += std::string(n.size() < 8 ? 8 - n.size() : 0, ' ') + n + " total\n";
    }
    write_out(inv.json ? dump(all) + "\n" : out);
    return kExitOk;
}

// Shared by exec and git: the program's outputs become ours, its code our exit status.
int finish_command(const client::ProgramResult& r, const Invocation& inv, const std::string& what) {
    if (inv.json) {
        write_out(
            dump(json{{"code", r.code}, {"stderr", r.stderr_text}, {"stdout", r.stdout_bytes}}) +
            "\n");
    } else {
        write_out(r.stdout_bytes);
        write_err(r.stderr_text);
    }
    if (r.code >= 0) return r.code;
    if (!inv.json) {
        if (!r.stderr_text.empty() && r.stderr_text.back() != '\n') write_err("\n");
        complain(what + " did not exit normally (it could not start, or a signal ended it)");
    }
    return kExitFailed;
}

int cmd_exec(AgentClient& c, const Invocation& inv) {
    std::string input = body_from_stdin(inv);
    return finish_command(c.exec(inv.dir, inv.program, inv.args, input), inv, inv.program);
}

int cmd_git(AgentClient& c, const Invocation& inv) {
    std::string input = body_from_stdin(inv);
    return finish_command(c.git(inv.dir, inv.args, inv.env, input), inv, "git");
}

int cmd_call(AgentClient& c, const Invocation& inv) {
    json data = inv.data ? json::parse(*inv.data) : json();
    std::string input = body_from_stdin(inv);
    client::Message m = c.request(inv.method, data, input);
    if (inv.json) {
        write_out(m.header_text + "\n");
        write_out(m.body);
    } else if (!m.error) {
        if (!m.data.is_null()) write_out(dump(m.data, 2) + "\n");
        write_out(m.body);
    }
    if (m.error) {
        complain(inv.method + ": " + *m.error);
        return kExitFailed;
    }
    return kExitOk;
}

// Prints one line per "changed" event until SIGINT or SIGTERM, then exits 0. The signals are
// blocked before the client starts its threads, so only this thread ever takes them.
int cmd_watch(const std::function<std::unique_ptr<AgentClient>()>& connect, const Invocation& inv) {
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    std::unique_ptr<AgentClient> c = connect();
    c->set_event_handler([&inv](const client::Message& m) {
        std::string path =
            m.data.is_object() && m.data.contains("path") && m.data["path"].is_string()
                ? m.data["path"].get<std::string>()
                : dump(m.data);
        std::string method = m.method.value_or("");
        std::string time = local_time_now();
        if (inv.json)
            write_out(dump(json{{"time", time}, {"event", method}, {"path", path}}) + "\n");
        else
            write_out(time + "  " + method + "  " + path + "\n");
    });
    for (const std::string& p : inv.paths) c->watch(p);
    for (;;) {
        timespec tick{0, 200 * 1000 * 1000};
        if (sigtimedwait(&stop_set, nullptr, &tick) > 0) return kExitOk;
        if (std::optional<std::string> why = c->failure()) {
            // A Ctrl-C reaches the local agent too; its death is then no error.
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)
                return kExitOk;
            throw client::AgentError(*why);
        }
    }
}

std::string self_exe() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

client::StartOptions start_options(const Invocation& inv) {
    client::StartOptions options;
    if (inv.ssh_host) {
        options = client::ssh_start(*inv.ssh_host, inv.remote_agent.value_or("vesk-agent"));
    } else if (inv.agent) {
        options = client::local_start(*inv.agent);
    } else {
        // Not found beside us: leave it to the search path, which names the program in the
        // error when it is missing there too.
        options = client::local_start(find_agent_beside(self_exe()).value_or("vesk-agent"));
    }
    return options;
}

std::unique_ptr<AgentClient> connect(const Invocation& inv) {
    auto c = std::make_unique<AgentClient>(start_options(inv));
    if (::isatty(2)) {
        auto bar = std::make_shared<ProgressBar>(2);
        c->set_progress_handler([bar](bool sending, std::uint64_t done, std::uint64_t total) {
            bar->update(sending ? "sending" : "receiving", done, total);
        });
    }
    return c;
}

int dispatch(const Invocation& inv) {
    using Command = int (*)(AgentClient&, const Invocation&);
    static const std::map<std::string, Command> commands = {
        {"hello", cmd_hello}, {"cat", cmd_cat},     {"put", cmd_put}, {"stat", cmd_stat},
        {"ls", cmd_ls},       {"mkdir", cmd_mkdir}, {"rm", cmd_rm},   {"realpath", cmd_realpath},
        {"wc", cmd_wc},       {"exec", cmd_exec},   {"git", cmd_git}, {"call", cmd_call},
    };
    if (inv.command == "watch") return cmd_watch([&] { return connect(inv); }, inv);
    std::unique_ptr<AgentClient> c = connect(inv);
    return commands.at(inv.command)(*c, inv);
}

}  // namespace

Invocation parse(const std::vector<std::string>& args) {
    Invocation inv;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            inv.help = true;
            return inv;
        }
        if (a == "--json") {
            inv.json = true;
        } else if (take_value(args, i, "--agent", inv.agent) ||
                   take_value(args, i, "--ssh", inv.ssh_host) ||
                   take_value(args, i, "--remote-agent", inv.remote_agent)) {
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError("unknown option \"" + a + "\"");
        } else {
            break;
        }
    }
    if (inv.agent && inv.ssh_host) throw UsageError("--agent and --ssh exclude each other");
    if (inv.remote_agent && !inv.ssh_host) throw UsageError("--remote-agent needs --ssh");
    if (inv.ssh_host && (inv.ssh_host->empty() || (*inv.ssh_host)[0] == '-'))
        throw UsageError("--ssh wants a host name, got \"" + *inv.ssh_host + "\"");
    if (i >= args.size()) throw UsageError("missing COMMAND");
    inv.command = args[i];
    parse_command(
        std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()),
        inv);
    return inv;
}

std::optional<std::string> find_agent_beside(const std::string& self_exe) {
    auto usable = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
    };
    std::size_t slash = self_exe.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    std::string dir = self_exe.substr(0, slash);
    if (usable(dir + "/vesk-agent")) return dir + "/vesk-agent";
    // In a build tree the tool is <build>/client/vesk and the agent <build>/vesk-agent.
    std::size_t up = dir.rfind('/');
    if (up != std::string::npos && dir.substr(up + 1) == "client") {
        std::string candidate = dir.substr(0, up) + "/vesk-agent";
        if (usable(candidate)) return candidate;
    }
    return std::nullopt;
}

std::string help_text() {
    return std::string(kUsageLine) + R"(

Talks to a vesk-agent: a local one started as a child process, or a remote one started
through `ssh HOST vesk-agent serve`. One command per run.

Options (before COMMAND):
  --agent PATH          run this agent binary locally (default: the vesk-agent beside
                        this vesk, then <dir>/../vesk-agent when vesk sits in a build
                        tree's client/ directory, then vesk-agent from PATH)
  --ssh HOST            run the agent on HOST through ssh (ssh from PATH)
  --remote-agent PATH   the agent's path on HOST (default: vesk-agent, from the remote PATH)
  --json                machine-readable output (one JSON document per line)
  -h, --help            this text

Commands (paths are the agent's; a leading ~ means the agent's home):
  hello                         what the agent is: version, system, home, git
  cat PATH...                   write files to stdout (--json has no effect)
  put PATH                      store stdin as the file's whole content
  stat PATH...                  existence, type and size; exit 1 if any is missing
  ls [PATH]                     names in a directory, sorted by bytes
  mkdir PATH                    create a directory and its missing parents
  rm [-r] PATH                  remove a file or empty directory; -r: a whole tree
  realpath PATH                 absolute path without links, . or ..
  wc PATH...                    line counts ("-" where a file cannot be counted)
  exec [-C DIR] [-n] PROGRAM [ARG...]
                                run PROGRAM in DIR (default: the agent's working
                                directory); no shell is involved
  git [-C DIR] [-e NAME=VALUE]... [-n] [ARG...]
                                run git in DIR with extra environment settings
  watch PATH...                 print a line for each change of the repositories
                                until interrupted (Ctrl-C or SIGTERM ends with status 0)
  call [-n] METHOD [JSON-DATA]  send any request; prints the reply's data and body
                                (with --json: the reply's header exactly as received)

exec, git and call send the tool's stdin as the request body unless stdin is a
terminal or -n is given; exec and git write the program's stdout and stderr to
ours and exit with its exit code (1 when it could not start or a signal ended it).

Transfers of 8 MiB or more show a progress bar on stderr when stderr is a terminal.

Exit status: 0 success, 1 a request failed (or the agent died), 2 usage error.
)";
}

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Invocation inv;
    try {
        inv = parse(args);
    } catch (const UsageError& e) {
        complain(e.what());
        write_err(std::string(kUsageLine) + "\nTry 'vesk --help' for more.\n");
        return kExitUsage;
    }
    if (inv.help) {
        write_out(help_text());
        return kExitOk;
    }
    // Our own writes to a closed stdout must fail as errors, not end the tool half-way.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return dispatch(inv);
    } catch (const client::RequestError& e) {
        std::string what = inv.paths.empty() ? e.method() : inv.paths[0];
        complain(what + ": " + e.text());
    } catch (const std::exception& e) {
        complain(e.what());
    }
    return kExitFailed;
}

}  // namespace vesk::cli
