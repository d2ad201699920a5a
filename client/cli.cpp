#include "client/cli.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "agent/version.h"
#include "client/commands.h"
#include "client/output.h"
#include "common/sys.h"
#include "common/text.h"

namespace vesk::cli {

const std::vector<Command>& commands() {
    // clang-format off
    static const std::vector<Command> table = {
        {"hello", "", "what the agent is: version, system, home, git", "",
         parse_none, run_hello},
        {"cat", "PATH...", "write files to stdout (--json has no effect)", "",
         parse_paths, run_cat},
        {"put", "[-r] [LOCAL...|-] PATH",
         "store LOCAL (-, or none: stdin, when it is a pipe or a\nfile) as PATH; several LOCALs, "
         "or -r trees, into the\ndirectory PATH", "-r", parse_put_get, run_put},
        {"get", "[-r] PATH... [LOCAL|-]",
         "copy to LOCAL (a directory: LOCAL/NAME) through a\ntemporary file renamed into place; "
         "-, or none: stdout;\nseveral PATHs, or -r trees, into the directory LOCAL", "-r",
         parse_put_get, run_get},
        {"stat", "PATH...", "existence, type and size; exit 1 if any is missing or\nnot accessible",
         "", parse_paths, run_stat},
        {"ls", "[-l] [-a] [PATH]",
         "names in a directory (or a file's own), sorted by bytes\n(a name with a line break or "
         "control character is shown\nquoted); -l: each with its kind and size; -a: no effect\n"
         "(every name is listed)", "-l -a", parse_ls, run_ls},
        {"mkdir", "PATH...", "create directories and their missing parents", "",
         parse_paths, run_mkdir},
        {"rm", "[-r] [-f] [--no-preserve-root] PATH...",
         "remove files or empty directories; -r: whole trees;\n-f: a missing path is no error; / "
         "and the home\ndirectory are refused unless --no-preserve-root is given",
         "-r -R --recursive -f --force --no-preserve-root", parse_rm, run_rm},
        {"realpath", "PATH...", "absolute paths without links, . or ..", "",
         parse_paths, run_realpath},
        {"wc", "PATH...", "line counts (\"-\" and, on stderr, why, where a file\ncannot be "
         "counted; then exit 1)", "", parse_paths, run_wc},
        {"exec", "[-C DIR] [-n] PROGRAM [ARG...]",
         "run PROGRAM in DIR (default: the agent's working\ndirectory); no shell is involved",
         "-C -n", parse_exec, run_exec},
        {"git", "[-C DIR] [-e NAME=VALUE]... [-n] [ARG...]",
         "run git in DIR with extra environment settings", "-C -e -n", parse_git, run_git},
        {"watch", "PATH...", "print a line for each change of the repositories\nuntil interrupted "
         "(Ctrl-C or SIGTERM ends with status 0)", "", parse_paths, run_watch},
        {"call", "[-n] METHOD [JSON-DATA]", "send any request; prints the reply's data and body\n"
         "(with --json: the reply's header exactly as received)", "-n", parse_call, run_call},
    };
    // clang-format on
    return table;
}

namespace {

const char kUsageLine[] =
    "usage: vesk [--agent PATH | --ssh HOST [SSH-OPTION...]] [--json] COMMAND [ARG...]";

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

// The tool's long options, which may also follow a command that takes paths.
bool take_long_option(const std::vector<std::string>& args, std::size_t& i, Invocation& inv) {
    if (args[i] == "--json") {
        inv.json = true;
    } else if (args[i] == "--no-share") {
        inv.share = false;
    } else {
        return take_value(args, i, "--agent", inv.agent) ||
               take_value(args, i, "--ssh", inv.ssh_host) ||
               take_value(args, i, "--remote-agent", inv.remote_agent);
    }
    return true;
}

// ssh's -p PORT, -i FILE and -o OPTION (or -p22 style), kept for ssh in the order given.
bool take_ssh_option(const std::vector<std::string>& args, std::size_t& i, Invocation& inv) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-' || std::string_view("pio").find(a[1]) == std::string::npos)
        return false;
    if (a.size() == 2 && i + 1 >= args.size()) throw UsageError(a + " needs a value");
    inv.ssh_options.push_back(a.substr(0, 2));
    inv.ssh_options.push_back(a.size() > 2 ? a.substr(2) : args[++i]);
    return true;
}

std::string self_exe() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

// For a network that drops a connection without a word: give up on a host that does not
// answer, and on one that stops answering. The caller's -o options come first and win.
const std::vector<std::string> kSshDefaults = {
    "-o", "ConnectTimeout=15", "-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=3"};

client::StartOptions start_options(const Invocation& inv) {
    if (inv.ssh_host) {
        // For ssh the first value given for an option wins.
        std::vector<std::string> ssh_options = inv.ssh_options;
        ssh_options.insert(ssh_options.end(), kSshDefaults.begin(), kSshDefaults.end());
        if (inv.share) {
            std::vector<std::string> sharing = sharing_options();
            ssh_options.insert(ssh_options.end(), sharing.begin(), sharing.end());
        }
        return client::ssh_start(*inv.ssh_host, inv.remote_agent.value_or("vesk-agent"),
                                 ssh_options);
    }
    // Not found beside us: leave it to the search path, which names the program in the error
    // when it is missing there too.
    return client::local_start(
        inv.agent.value_or(find_agent_beside(self_exe()).value_or("vesk-agent")));
}

// Concurrent first runs to one host would each try to become the shared connection's master,
// and all but one warn that its socket already exists. A lock per host and ssh options, held
// until the agent has answered once, lets the first set the master up and the others use it.
unique_fd lock_first_connection(const Invocation& inv, const std::vector<std::string>& sharing) {
    if (sharing.size() < 4) return {};
    const std::string& path = sharing[3];  // "ControlPath=DIR/%C"
    std::string key = *inv.ssh_host;
    for (const std::string& o : inv.ssh_options) key += "\n" + o;
    std::string lock = path.substr(12, path.rfind('/') - 11) + ".lock-" +
                       std::to_string(std::hash<std::string>{}(key));
    unique_fd fd(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd) ::flock(fd.get(), LOCK_EX);
    return fd;
}

}  // namespace

client::AgentClient& Session::agent() {
    if (client_) return *client_;
    unique_fd lock;
    if (inv.ssh_host && inv.share) lock = lock_first_connection(inv, sharing_options());
    client_ = std::make_unique<client::AgentClient>(start_options(inv));
    if (lock) {
        try {
            client_->stat("/");
        } catch (const client::AgentError& e) {
            connection_lost(e.what());
        }
    }
    if (::isatty(2)) {
        if (!progress_bar) progress_bar = std::make_shared<ProgressBar>(2);
        client_->set_progress_handler(
            [bar = progress_bar](bool, std::uint64_t done, std::uint64_t total) {
                bar->update(done, total);
            });
    }
    return *client_;
}

void Session::connection_lost(const std::string& why) {
    std::optional<int> status =
        inv.ssh_host && client_ ? client_->wait_exit(std::chrono::seconds(2)) : std::nullopt;
    const int code = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    if (code == kExitSsh) {
        // ssh has said why on standard error; JSON readers get a line of their own.
        if (json_errors)
            complain("ssh could not reach " + *inv.ssh_host + " or lost the connection (ssh " +
                     "exited with status 255; its message is on stderr)");
        throw ExitWith{kExitSsh};
    }
    const std::string agent = inv.remote_agent.value_or("vesk-agent");
    if (inv.ssh_host && code == kExitCannotStart)
        throw ConnectionLost(why + (agent.find('/') == std::string::npos
                                        ? "; is " + agent + " on the PATH of " + *inv.ssh_host +
                                              "? (--remote-agent PATH names it)"
                                        : "; " + *inv.ssh_host + " has no program " + agent));
    if (inv.ssh_host && code == 126)
        throw ConnectionLost(why + "; " + agent + " on " + *inv.ssh_host + " is not executable");
    throw ConnectionLost(why);
}

void take_paths(const std::vector<std::string>& words, Invocation& inv,
                const std::function<bool(const std::string&)>& own) {
    bool options = true;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& a = words[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a.size() > 1 && a[0] == '-') {
            if (!own(a) && !take_long_option(words, i, inv))
                throw UsageError(inv.name + ": unknown option \"" + a + "\"");
        } else {
            inv.paths.push_back(a);
        }
    }
}

bool flags_of(const std::string& word, std::string_view letters) {
    return word.size() > 1 && word[0] == '-' &&
           word.find_first_not_of(letters, 1) == std::string::npos;
}

void expect_count(const Invocation& inv, std::size_t min, std::size_t max) {
    if (inv.paths.size() < min) throw UsageError(inv.name + ": missing PATH");
    if (inv.paths.size() > max) throw UsageError(inv.name + ": too many arguments");
}

void parse_paths(const std::vector<std::string>& words, Invocation& inv) {
    take_paths(words, inv, [](const std::string&) { return false; });
    expect_count(inv, 1, SIZE_MAX);
}

void done_with(const Invocation& inv, const std::string& path) {
    if (inv.json) write_out(dump(nlohmann::json{{"path", path}}) + "\n");
}

bool is_os_error(const std::string& text, int err) {
    const std::string tail = " (os error " + std::to_string(err) + ")";
    return text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void parse(const std::vector<std::string>& args, Invocation& inv) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help" || a == "--version") {
            (a == "--version" ? inv.version : inv.help) = true;
            return;
        }
        if (take_long_option(args, i, inv) || take_ssh_option(args, i, inv)) continue;
        if (!a.empty() && a[0] == '-') throw UsageError("unknown option \"" + a + "\"");
        break;
    }
    if (i >= args.size()) throw UsageError("missing COMMAND");
    inv.name = args[i];
    for (const Command& c : commands())
        if (inv.name == c.name) inv.command = &c;
    if (!inv.command) throw UsageError("unknown command \"" + inv.name + "\"");
    inv.command->parse({args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()}, inv);
    if (inv.agent && inv.ssh_host) throw UsageError("--agent and --ssh exclude each other");
    if (inv.remote_agent && !inv.ssh_host) throw UsageError("--remote-agent needs --ssh");
    if (!inv.ssh_options.empty() && !inv.ssh_host)
        throw UsageError(inv.ssh_options[0] + " is an ssh option and needs --ssh");
    if (inv.ssh_host && (inv.ssh_host->empty() || (*inv.ssh_host)[0] == '-'))
        throw UsageError("--ssh wants a host name, got \"" + *inv.ssh_host + "\"");
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

std::vector<std::string> sharing_options() {
    // A directory of our own, mode 0700, so nobody else can reach a connection through it.
    auto usable = [](const std::string& dir) {
        struct stat st;
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
        return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
               (st.st_mode & 077) == 0;
    };
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && runtime[0] == '/' ? std::string(runtime) + "/vesk" : "";
    if (dir.empty() || !usable(dir)) {
        dir = "/tmp/vesk-" + std::to_string(::getuid());
        if (!usable(dir)) return {};
    }
    return {"-o", "ControlMaster=auto", "-o", "ControlPath=" + dir + "/%C",
            "-o", "ControlPersist=60"};
}

std::string help_text() {
    std::string text = std::string(kUsageLine) + R"(

Talks to a vesk-agent: a local one started as a child process, or a remote one started
through `ssh HOST vesk-agent serve`. One command per run.

Options (before COMMAND; the long ones may also follow a command that takes paths):
  --agent PATH          run this agent binary locally (default: the vesk-agent beside
                        this vesk, then <dir>/../vesk-agent when vesk sits in a build
                        tree's client/ directory, then vesk-agent from PATH)
  --ssh HOST            run the agent on HOST through ssh (ssh from PATH); ssh's own
                        messages and failures (exit status 255) are passed on as they are
  --remote-agent PATH   the agent's path on HOST (default: vesk-agent, from the remote PATH)
  -p PORT, -i FILE, -o OPTION
                        passed to ssh as they are, before vesk's defaults
                        (ConnectTimeout=15, ServerAliveInterval=15, ServerAliveCountMax=3)
  --no-share            connect afresh; by default runs to the same host share one ssh
                        connection (ControlMaster=auto, ControlPersist=60, sockets in
                        $XDG_RUNTIME_DIR/vesk or /tmp/vesk-UID, mode 0700)
  --json                machine-readable output (one JSON document per line); errors
                        too, as {"error": TEXT} on stdout (except for cat and get to stdout)
  --version             vesk's version
  -h, --help            this text

Commands (paths are the agent's; a leading ~ means the agent's home; -- ends options):
)";
    constexpr std::size_t kColumn = 32;
    for (const Command& c : commands()) {
        std::string head = "  " + std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis;
        text += head;
        if (head.size() + 1 > kColumn)
            text += "\n" + std::string(kColumn, ' ');
        else
            text += std::string(kColumn - head.size(), ' ');
        for (const char* p = c.summary; *p; ++p)
            text += *p == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, *p);
        text += "\n";
    }
    return text + R"(
exec, git and call send the tool's stdin as the request body unless stdin is a
terminal or -n is given; exec and git write the program's stdout and stderr to
ours and exit with its exit code: 127 when it could not start (the message names
the missing directory or program), 1 when a signal ended it.

Copies with -r or several sources go on past a file that fails (each is named),
skip symbolic links (each is named), and show one progress bar for the whole copy.
Transfers of 8 MiB or more show a progress bar on stderr when stderr is a terminal.

Exit status: 0 success, 1 a request failed (or the agent died), 2 usage error,
255 ssh failed; exec and git: the program's.
)";
}

namespace {

// A word shown with its bytes: printable ASCII as it is, anything else as \xHH.
std::string show_bytes(const std::string& word) {
    std::string out = "\"";
    for (char ch : word) {
        auto u = static_cast<unsigned char>(ch);
        if (u >= 0x20 && u < 0x7f && ch != '"' && ch != '\\') {
            out += ch;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out + "\"";
}

// Requests carry text as UTF-8 only. A name that is not would reach the agent as another
// name, so it is refused here, in words, before anything is sent.
void refuse_non_utf8(const Invocation& inv) {
    auto check = [](const std::string& what, const std::string& text) {
        if (!is_valid_utf8(text))
            throw std::runtime_error(what + " " + show_bytes(text) +
                                     " is not valid UTF-8; the agent takes UTF-8 names only");
    };
    for (const std::string& p : inv.paths) check(inv.name + ": the path", p);
    for (const std::string& a : inv.args) check(inv.name + ": the argument", a);
    for (const auto& [name, value] : inv.env) check("git: -e", name + "=" + value);
    check(inv.name + ": the directory", inv.dir);
    check("exec: the program", inv.program);
    check("call: the method", inv.method);
}

// Descriptors 0-2 that the caller left closed get /dev/null, so that no pipe we open lands on
// them (a pipe on 0 would be read as our input, and wait for ever). A closed standard input is
// remembered: a command that reads it fails rather than take /dev/null's nothing as input.
void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == 0) stdin_was_closed = true;
        // The lowest free descriptor is this one.
        int null = ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        if (null > fd) {
            ::dup3(null, fd, O_CLOEXEC);
            ::close(null);
        }
    }
}

// A usage error: the reason and a hint on standard error, and with --json on standard output.
int usage_failed(const UsageError& e) {
    if (json_errors) complain(e.what());
    write_err("vesk: " + std::string(e.what()) + "\nTry 'vesk --help' for more.\n");
    return kExitUsage;
}

int dispatch(const Invocation& inv) {
    refuse_non_utf8(inv);
    Session session(inv);
    try {
        return inv.command->run(session);
    } catch (const client::AgentError& e) {
        session.connection_lost(e.what());
    }
}

}  // namespace

int run(int argc, char** argv) {
    hold_standard_descriptors();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Invocation inv;
    try {
        parse(args, inv);
    } catch (const UsageError& e) {
        // --json may stand after the word that failed.
        json_errors = inv.json || std::find(args.begin(), args.end(), "--json") != args.end();
        return usage_failed(e);
    }
    const bool to_stdout = inv.name == "get" && (inv.paths.size() == 1 ||
                                                 (inv.paths.size() == 2 && inv.paths[1] == "-"));
    json_errors = inv.json && inv.name != "cat" && !to_stdout;
    // Our own writes to a closed stdout must fail as errors, not end the tool half-way.
    ::signal(SIGPIPE, SIG_IGN);
    if (inv.name == "get") guard_signals();
    try {
        int status = kExitOk;
        if (inv.help)
            write_out(help_text());
        else if (inv.version)
            write_out("vesk " VESK_VERSION "\n");
        else
            status = dispatch(inv);
        // Closing is where a deferred write error (a full disk over NFS) shows.
        if (std::fclose(stdout) != 0) throw OutputFailed{errno};
        return status;
    } catch (const ExitWith& e) {
        return e.status;
    } catch (const OutputFailed& e) {
        if (e.err == EPIPE) {
            // The reader has all it wanted (`vesk cat big | head`): end as cat does, quietly,
            // now that the agent is closed.
            ::signal(SIGPIPE, SIG_DFL);
            ::raise(SIGPIPE);
            return 128 + SIGPIPE;
        }
        complain(std::string("cannot write standard output: ") + std::strerror(e.err));
    } catch (const UsageError& e) {
        return usage_failed(e);
    } catch (const client::RequestError& e) {
        std::string what = inv.paths.empty() ? e.method() : inv.paths[0];
        complain(what + ": " + e.text());
    } catch (const std::exception& e) {
        complain(e.what());
    }
    return kExitFailed;
}

}  // namespace vesk::cli
