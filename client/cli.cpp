#include "client/cli.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include <regex>
#include <system_error>

#include "agent/version.h"
#include "client/agent_client.h"
#include "client/progress.h"
#include "common/codec.h"
#include "common/sys.h"
#include "common/text.h"

namespace vesk::cli {

namespace {

using nlohmann::json;
using vesk::client::AgentClient;

const char kUsageLine[] =
    "usage: vesk [--agent PATH | --ssh HOST [SSH-OPTION...]] [--json] COMMAND [ARG...]";

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

// The words after a command that takes paths: its own options (own() says which, and applies
// them) and the tool's long options may stand anywhere among the paths, until "--".
void take_paths(const std::vector<std::string>& rest, Invocation& inv,
                const std::function<bool(const std::string&)>& own) {
    bool options = true;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a.size() > 1 && a[0] == '-') {
            if (!own(a) && !take_long_option(rest, i, inv))
                throw UsageError(inv.command + ": unknown option \"" + a + "\"");
        } else {
            inv.paths.push_back(a);
        }
    }
}

// A cluster of one-letter flags ("-rf"), each of them one of letters.
bool flags_of(const std::string& word, std::string_view letters) {
    return word.size() > 1 && word[0] == '-' &&
           word.find_first_not_of(letters, 1) == std::string::npos;
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
    auto none = [](const std::string&) { return false; };
    if (c == "hello") {
        take_paths(rest, inv, none);
        if (!inv.paths.empty()) throw UsageError("hello takes no arguments");
    } else if (c == "cat" || c == "stat" || c == "wc" || c == "watch" || c == "mkdir" ||
               c == "realpath") {
        take_paths(rest, inv, none);
        expect_count(inv, 1, SIZE_MAX);
    } else if (c == "ls") {
        take_paths(rest, inv, [&](const std::string& a) {
            if (!flags_of(a, "l")) return false;
            inv.long_list = true;
            return true;
        });
        if (inv.paths.empty()) inv.paths.push_back(".");
        expect_count(inv, 1, 1);
    } else if (c == "put" || c == "get") {
        take_paths(rest, inv, none);
        expect_count(inv, 1, 2);
    } else if (c == "rm") {
        take_paths(rest, inv, [&](const std::string& a) {
            if (a == "--no-preserve-root") {
                inv.no_preserve_root = true;
            } else if (a == "--recursive") {
                inv.recursive = true;
            } else if (a == "--force") {
                inv.force = true;
            } else if (flags_of(a, "rRf")) {
                inv.recursive |= a.find_first_of("rR") != std::string::npos;
                inv.force |= a.find('f') != std::string::npos;
            } else {
                return false;
            }
            return true;
        });
        expect_count(inv, 1, SIZE_MAX);
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

// Standard output failed with errno value err. Thrown past everything, so that the agent is
// closed and nothing more is attempted; a reader that went away (EPIPE) is no error.
struct OutputFailed {
    int err;
};

void write_out(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(out_mu);
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
        int err = errno;
        std::clearerr(stdout);
        throw OutputFailed{err};
    }
}

// The bar on a terminal's standard error, if any: what is written there next must start on a
// line of its own.
std::shared_ptr<ProgressBar> progress_bar;

void write_err(std::string_view bytes) {
    if (progress_bar) progress_bar->break_line();
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

// JSON output never fails on bytes that are not UTF-8 (file names, program output).
std::string dump(const json& j, int indent = -1) {
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

// With --json, errors are JSON too: {"error": TEXT} on standard output, one line each (not for
// commands whose standard output is a file's bytes).
bool json_errors = false;

void complain(const std::string& text) {
    if (json_errors) {
        try {
            write_out(dump(json{{"error", text}}) + "\n");
            return;
        } catch (const OutputFailed&) {
        }
    }
    write_err("vesk: " + text + "\n");
}

// Ends the run with this status, everything said.
struct ExitWith {
    int status;
};

// Set at start-up when the caller closed our standard input (/dev/null then holds its place).
bool stdin_was_closed = false;

std::runtime_error too_large_for_agent(const std::string& name) {
    return std::runtime_error(name + ": too large to send: the agent takes at most " +
                              std::to_string(kMaxFrameLen) + " bytes (1 GiB) per request");
}

// The bytes of a regular file from fd's offset to its end, or nothing for other kinds.
std::optional<std::uint64_t> regular_file_rest(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    return static_cast<std::uint64_t>(st.st_size > at && at >= 0 ? st.st_size - at : 0);
}

// A request body, read whole from fd (a pipe, a device). Anything that keeps it from being
// the whole input (a read error, a closed descriptor, more than one request can carry) fails
// before a request is sent, so nothing is written remotely in its place.
std::string read_all(int fd, const std::string& name) {
    if (fd == 0 && stdin_was_closed)
        throw std::runtime_error("cannot read standard input: it is closed");
    std::string data;
    char buf[1 << 16];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        if (r == 0) return data;
        data.append(buf, static_cast<std::size_t>(r));
        if (data.size() > kMaxFrameLen) throw too_large_for_agent(name);
    }
}

std::string read_stdin() {
    return read_all(0, "standard input");
}

// exec, git and call take their body from standard input unless it is a terminal (a person
// typing is not a body) or -n says not to.
std::string body_from_stdin(const Invocation& inv) {
    if (inv.no_stdin || ::isatty(0)) return {};
    return read_stdin();
}

mode_t current_umask() {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
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

// Names the file that a progress bar shows from now on.
void transfer_of(const std::string& name) {
    if (progress_bar) progress_bar->set_name(name);
}

// What a command that prints nothing says with --json: the path it acted on.
void done_with(const Invocation& inv, const std::string& path) {
    if (inv.json) write_out(dump(json{{"path", path}}) + "\n");
}

// A file's content straight to our standard output as it arrives, not held whole.
void copy_to_stdout(AgentClient& c, const std::string& path) {
    transfer_of(path);
    std::lock_guard<std::mutex> lock(out_mu);
    try {
        c.read_file_into(path, 1);
    } catch (const std::system_error& e) {
        throw OutputFailed{e.code().value()};
    }
}

int cmd_cat(AgentClient& c, const Invocation& inv) {
    int status = kExitOk;
    for (const std::string& p : inv.paths) {
        try {
            copy_to_stdout(c, p);
        } catch (const client::RequestError& e) {
            complain(p + ": " + e.text());
            status = kExitFailed;
        }
    }
    return status;
}

// put [LOCAL] REMOTE: a large regular file (LOCAL, or standard input redirected from one) is
// sent from the file as it is read; anything else is read whole first, small files included:
// the sizes of /proc and /sys files are not their contents' sizes.
int cmd_put(AgentClient& c, const Invocation& inv) {
    const std::string& remote = inv.paths.back();
    std::string name = "standard input";
    unique_fd file;
    int fd = 0;
    if (inv.paths.size() == 2) {
        name = inv.paths[0];
        file.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file) throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        fd = file.get();
    }
    transfer_of(fd == 0 ? remote : name);
    std::optional<std::uint64_t> size =
        fd == 0 && stdin_was_closed ? std::nullopt : regular_file_rest(fd);
    constexpr std::uint64_t kStreamFrom = 1u << 20;
    if (!size || *size < kStreamFrom) {
        c.write_file(remote, read_all(fd, name));
    } else if (*size > kMaxFrameLen) {
        throw too_large_for_agent(name);
    } else {
        try {
            c.write_file_from(remote, fd, *size);
        } catch (const client::AgentError& e) {
            throw client::AgentError(name + ": " + e.what());
        }
    }
    done_with(inv, remote);
    return kExitOk;
}

// Removes a temporary file unless it was renamed into place.
struct TempFile {
    std::string path;
    unique_fd fd;
    bool kept = false;
    ~TempFile() {
        if (!kept) ::unlink(path.c_str());
    }
};

// get REMOTE [LOCAL]: into LOCAL (or LOCAL/NAME for a directory) through a temporary file
// beside it, renamed into place once whole, so an interrupted or failed transfer never leaves
// a cut file under the final name. A link is followed; a device or pipe is written in place.
// Without LOCAL, to standard output.
int cmd_get(AgentClient& c, const Invocation& inv) {
    const std::string& remote = inv.paths[0];
    if (inv.paths.size() == 1) {
        copy_to_stdout(c, remote);
        return kExitOk;
    }
    std::string target = inv.paths[1];
    struct stat st;
    bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        std::string base = remote.substr(remote.rfind('/') + 1);
        if (base.empty() || base == "." || base == ".." || base == "~")
            throw std::runtime_error("get: name the local file for " + remote);
        target += "/" + base;
        exists = ::stat(target.c_str(), &st) == 0;
    }
    auto fail = [&](int err) {
        throw std::runtime_error("cannot write " + target + ": " + std::strerror(err));
    };
    auto receive = [&](int fd) {
        transfer_of(remote);
        try {
            c.read_file_into(remote, fd);
        } catch (const std::system_error& e) {
            fail(e.code().value());
        }
    };
    if (exists && !S_ISREG(st.st_mode)) {
        unique_fd out(::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (!out) fail(errno);
        receive(out.get());
        if (::close(out.release()) != 0) fail(errno);
        done_with(inv, target);
        return kExitOk;
    }
    char real[PATH_MAX];
    if (exists && ::realpath(target.c_str(), real)) target = real;
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
    TempFile temp;
    temp.path = dir + "." + target.substr(slash + 1) + ".vesk-XXXXXX";
    temp.fd.reset(::mkostemp(temp.path.data(), O_CLOEXEC));
    if (!temp.fd) {
        temp.kept = true;  // nothing was created
        throw std::runtime_error("cannot create a file in " + dir + ": " + std::strerror(errno));
    }
    receive(temp.fd.get());
    // The mode a new file would get (an existing one keeps its own), as cp does.
    mode_t mode = exists ? st.st_mode & 07777 : 0666 & ~current_umask();
    if (::fchmod(temp.fd.get(), mode) != 0) fail(errno);
    if (::close(temp.fd.release()) != 0) fail(errno);
    if (::rename(temp.path.c_str(), target.c_str()) != 0) fail(errno);
    temp.kept = true;
    done_with(inv, target);
    return kExitOk;
}

// Whether an error text of the agent is the system's error err ("... (os error N)").
bool is_os_error(const std::string& text, int err) {
    const std::string tail = " (os error " + std::to_string(err) + ")";
    return text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Why a path that fs.stat reports as absent is: the status itself is not in the reply, but the
// real-path lookup fails with the same cause.
std::string absent_because(AgentClient& c, const std::string& path) {
    try {
        c.canonicalize(path);
    } catch (const client::RequestError& e) {
        if (is_os_error(e.text(), ENOENT) || is_os_error(e.text(), ENOTDIR))
            return "does not exist";
        return "is not accessible (" + e.text() + ")";
    }
    return "is not accessible";
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
            out += p + ": " + absent_because(c, p) + "\n";
        else
            out += p + ": " + (s.is_dir ? "directory" : "file") + ", " + std::to_string(s.len) +
                   " bytes\n";
    }
    write_out(inv.json ? dump(all) + "\n" : out);
    return status;
}

// ls -l: the status of every entry, asked for all at once rather than one round trip each.
std::vector<client::FileStat> stat_all(AgentClient& c, const std::string& dir,
                                       const std::vector<std::string>& names) {
    std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    std::vector<std::uint64_t> ids;
    for (const std::string& n : names) ids.push_back(c.send("fs.stat", json{{"path", prefix + n}}));
    std::vector<client::FileStat> out;
    for (std::uint64_t id : ids) {
        client::Message m = c.wait_for(id, "fs.stat");
        if (m.error) throw client::RequestError("fs.stat", *m.error);
        out.push_back({m.data.value("exists", false), m.data.value("is_dir", false),
                       m.data.value("len", std::uint64_t{0})});
    }
    return out;
}

int cmd_ls(AgentClient& c, const Invocation& inv) {
    std::vector<std::string> names = c.readdir(inv.paths[0]);
    std::vector<client::FileStat> stats;
    if (inv.long_list) stats = stat_all(c, inv.paths[0], names);
    if (inv.json) {
        json all = json::array();
        for (std::size_t i = 0; i < names.size(); ++i)
            all.push_back(inv.long_list ? json{{"name", names[i]},
                                               {"exists", stats[i].exists},
                                               {"is_dir", stats[i].is_dir},
                                               {"len", stats[i].len}}
                                        : json(names[i]));
        write_out(dump(all) + "\n");
        return kExitOk;
    }
    // One entry per line: a name that holds a line break, a control character, a quotation
    // mark or a backslash is shown quoted and escaped, so no name can pass for two. With -l,
    // its kind ("?" for a link to nothing) and size come first.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (inv.long_list) {
            const client::FileStat& s = stats[i];
            char head[40];
            std::snprintf(head, sizeof head, "%-4s %12llu ",
                          !s.exists  ? "?"
                          : s.is_dir ? "dir"
                                     : "file",
                          static_cast<unsigned long long>(s.len));
            out += head;
        }
        std::string quoted = debug_quote(names[i]);
        out += (quoted.size() == names[i].size() + 2 ? names[i] : quoted) + "\n";
    }
    write_out(out);
    return kExitOk;
}

// A request the tool itself declines to send; the text says why.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs one step per path; a failure is reported and the rest still run, as mkdir and rm do.
int each_path(const Invocation& inv, const std::function<void(const std::string&)>& step) {
    int status = kExitOk;
    for (const std::string& p : inv.paths) {
        try {
            step(p);
        } catch (const client::RequestError& e) {
            complain(p + ": " + e.text());
            status = kExitFailed;
        } catch (const Refusal& e) {
            complain(e.what());
            status = kExitFailed;
        }
    }
    return status;
}

int cmd_mkdir(AgentClient& c, const Invocation& inv) {
    return each_path(inv, [&](const std::string& p) {
        c.mkdirp(p);
        done_with(inv, p);
    });
}

// What removing this path would take away that nobody means to: the root or the home
// directory itself (however it is spelled), or nothing. A last component that is a link is
// what goes, not what it points to, so only the directory above it is resolved.
std::optional<std::string> precious(AgentClient& c, const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    bool whole = path == "~" || last.empty() || last == "." || last == "..";
    std::string real;
    try {
        if (whole)
            real = c.canonicalize(path);
        else if (slash == std::string::npos)
            real = c.canonicalize(".") + "/" + last;
        else
            real = c.canonicalize(slash == 0 ? "/" : path.substr(0, slash)) + "/" + last;
    } catch (const client::RequestError&) {
        return std::nullopt;  // nothing there to protect; the removal reports why
    }
    if (real == "/") return "the root directory";
    std::string home = c.hello().home;
    if (home.empty()) return std::nullopt;
    try {
        if (real == c.canonicalize(home)) return "the home directory";
    } catch (const client::RequestError&) {
    }
    return std::nullopt;
}

int cmd_rm(AgentClient& c, const Invocation& inv) {
    return each_path(inv, [&](const std::string& p) {
        std::optional<std::string> what = inv.no_preserve_root ? std::nullopt : precious(c, p);
        if (what)
            throw Refusal("rm: refusing to remove '" + p + "' (" + *what +
                          "); use --no-preserve-root to override");
        try {
            c.remove(p, inv.recursive);
        } catch (const client::RequestError& e) {
            // -f: what is not there is as good as removed.
            if (!inv.force || !is_os_error(e.text(), ENOENT)) throw;
        }
        done_with(inv, p);
    });
}

int cmd_realpath(AgentClient& c, const Invocation& inv) {
    return each_path(inv, [&](const std::string& p) {
        std::string real = c.canonicalize(p);
        write_out(inv.json ? dump(json(real)) + "\n" : real + "\n");
    });
}

// Why fs.countlines gave no count for a path (it does not say): asked after the fact.
std::string not_counted_because(AgentClient& c, const std::string& path) {
    constexpr std::uint64_t kCountLimit = 1000000;  // the agent's, in bytes
    client::FileStat s = c.stat(path);
    if (!s.exists) return "it " + absent_because(c, path);
    if (s.is_dir) return "it is a directory";
    if (s.len > kCountLimit)
        return "it is over the " + std::to_string(kCountLimit) + "-byte limit (" +
               std::to_string(s.len) + " bytes)";
    if (s.len == 0) return "it is not a regular file";  // an empty one counts 0 lines
    client::Message m = c.request("fs.read", json{{"path", path}});
    if (m.error) return *m.error;
    if (m.body.find('\0') < 8000) return "it holds binary data (a NUL byte in its first 8000)";
    return "it changed while it was counted";
}

int cmd_wc(AgentClient& c, const Invocation& inv) {
    std::vector<std::optional<std::uint32_t>> counts = c.countlines(inv.paths);
    json all = json::array();
    std::string out;
    std::uint64_t total = 0;
    int status = kExitOk;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        json entry = {{"path", inv.paths[i]}, {"lines", counts[i] ? json(*counts[i]) : json()}};
        if (!counts[i]) {
            std::string why = "not counted: " + not_counted_because(c, inv.paths[i]);
            if (inv.json)
                entry["error"] = why;
            else
                write_err("vesk: " + inv.paths[i] + ": " + why + "\n");
            status = kExitFailed;
        }
        all.push_back(entry);
        std::string n = counts[i] ? std::to_string(*counts[i]) : "-";
        if (counts[i]) total += *counts[i];
        out += std::string(n.size() < 8 ? 8 - n.size() : 0, ' ') + n + " " + inv.paths[i] + "\n";
    }
    if (counts.size() > 1) {
        std::string n = std::to_string(total);
        out += std::string(n.size() < 8 ? 8 - n.size() : 0, ' ') + n + " total\n";
    }
    write_out(inv.json ? dump(all) + "\n" : out);
    return status;
}

// A program that did not exit: it could not start (the reply then holds nothing but the start
// error's text, in the agent's "... (os error N)" form) or a signal ended it. The reply does
// not say which, nor what is missing: asked after the fact. Nothing for a signal.
std::optional<std::string> start_failure(AgentClient& c, const client::ProgramResult& r,
                                         const Invocation& inv, const std::string& program) {
    static const std::regex kStartError(R"([^\n]* \(os error [0-9]+\)|nul byte found in .*)");
    if (!r.stdout_bytes.empty() || !std::regex_match(r.stderr_text, kStartError))
        return std::nullopt;
    std::string head = inv.command + ": cannot start " + program + " in " + inv.dir + ": ";
    client::FileStat dir = c.stat(inv.dir);
    if (!dir.exists) return head + "the directory " + absent_because(c, inv.dir);
    if (!dir.is_dir) return head + "it is not a directory";
    if (program.find('/') == std::string::npos && is_os_error(r.stderr_text, ENOENT))
        return inv.command + ": cannot start " + program + ": no such program on the agent's PATH";
    return inv.command + ": cannot start " + program + ": " + r.stderr_text;
}

// Shared by exec and git: the program's outputs become ours and its exit code our exit status;
// one that could not start gives 127, as a shell does.
int finish_command(AgentClient& c, const client::ProgramResult& r, const Invocation& inv,
                   const std::string& program) {
    std::optional<std::string> why;
    int status = r.code;
    if (r.code < 0) {
        why = start_failure(c, r, inv, program);
        status = why ? kExitCannotStart : kExitFailed;
        if (!why) why = program + " was killed by a signal (the agent does not say which)";
    }
    if (inv.json) {
        json j = {{"code", r.code}, {"stderr", r.stderr_text}, {"stdout", r.stdout_bytes}};
        if (why) j["error"] = *why;
        write_out(dump(j) + "\n");
        return status;
    }
    write_out(r.stdout_bytes);
    if (status == kExitCannotStart) {
        complain(*why);  // the agent's text is in it
        return status;
    }
    write_err(r.stderr_text);
    if (why) {
        if (!r.stderr_text.empty() && r.stderr_text.back() != '\n') write_err("\n");
        complain(*why);
    }
    return status;
}

int cmd_exec(AgentClient& c, const Invocation& inv) {
    std::string input = body_from_stdin(inv);
    return finish_command(c, c.exec(inv.dir, inv.program, inv.args, input), inv, inv.program);
}

int cmd_git(AgentClient& c, const Invocation& inv) {
    std::string input = body_from_stdin(inv);
    return finish_command(c, c.git(inv.dir, inv.args, inv.env, input), inv, "git");
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
        if (!inv.json) complain(inv.method + ": " + *m.error);  // the header holds it
        return kExitFailed;
    }
    return kExitOk;
}

// The connection to the agent is lost. ssh that could not make or keep it has said why on our
// standard error and exits with 255: that ends the tool as it is, not as an agent failure.
[[noreturn]] void connection_lost(AgentClient& c, const Invocation& inv, const std::string& why) {
    std::optional<int> status = inv.ssh_host ? c.wait_exit(std::chrono::seconds(2)) : std::nullopt;
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == kExitSsh) throw ExitWith{kExitSsh};
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == kExitCannotStart)
        throw client::AgentError(why + "; is " + inv.remote_agent.value_or("vesk-agent") +
                                 " on the PATH of " + *inv.ssh_host +
                                 "? (--remote-agent PATH names it)");
    throw client::AgentError(why);
}

// Tells on standard error what a watch covers: only a repository produces events.
void announce_watch(AgentClient& c, const std::string& path) {
    client::ProgramResult r = c.git(path, {"rev-parse", "--show-toplevel"});
    std::string root = r.stdout_bytes.substr(0, r.stdout_bytes.find('\n'));
    if (r.code == 0 && !root.empty())
        write_err("vesk: watching " + path + " (the repository at " + root + "); Ctrl-C stops\n");
    else
        write_err("vesk: watching " + path +
                  ": not in a git repository, so quiet until it becomes one; Ctrl-C stops\n");
}

// Prints one line per "changed" event until SIGINT or SIGTERM, then exits 0. The signals are
// blocked before the client starts its threads, so only this thread ever takes them.
int cmd_watch(const std::function<std::unique_ptr<AgentClient>()>& connect, const Invocation& inv) {
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    // The handler runs on the client's reader thread: a failed write is handed to this one.
    // Declared first, so that they outlive the client and its reader.
    std::mutex failed_mu;
    std::optional<OutputFailed> failed;
    std::unique_ptr<AgentClient> c = connect();
    c->set_event_handler([&](const client::Message& m) {
        std::string path =
            m.data.is_object() && m.data.contains("path") && m.data["path"].is_string()
                ? m.data["path"].get<std::string>()
                : dump(m.data);
        std::string method = m.method.value_or("");
        std::string time = local_time_now();
        try {
            if (inv.json)
                write_out(dump(json{{"time", time}, {"event", method}, {"path", path}}) + "\n");
            else
                write_out(time + "  " + method + "  " + path + "\n");
        } catch (const OutputFailed& e) {
            std::lock_guard<std::mutex> lock(failed_mu);
            failed = e;
        }
    });
    try {
        for (const std::string& p : inv.paths) {
            c->watch(p);
            announce_watch(*c, p);
        }
    } catch (const client::AgentError& e) {
        connection_lost(*c, inv, e.what());
    }
    for (;;) {
        timespec tick{0, 200 * 1000 * 1000};
        if (sigtimedwait(&stop_set, nullptr, &tick) > 0) return kExitOk;
        {
            std::lock_guard<std::mutex> lock(failed_mu);
            if (failed) throw *failed;
        }
        if (std::optional<std::string> why = c->failure()) {
            // A Ctrl-C reaches the local agent too; its death is then no error.
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)
                return kExitOk;
            connection_lost(*c, inv, *why);
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
        // The caller's own ssh options come first: for ssh the first value given wins.
        std::vector<std::string> ssh_options = inv.ssh_options;
        if (inv.share) {
            std::vector<std::string> sharing = sharing_options();
            ssh_options.insert(ssh_options.end(), sharing.begin(), sharing.end());
        }
        options =
            client::ssh_start(*inv.ssh_host, inv.remote_agent.value_or("vesk-agent"), ssh_options);
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
        if (!progress_bar) progress_bar = std::make_shared<ProgressBar>(2);
        c->set_progress_handler(
            [bar = progress_bar](bool, std::uint64_t done, std::uint64_t total) {
                bar->update(done, total);
            });
    }
    return c;
}

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
    for (const std::string& p : inv.paths) check(inv.command + ": the path", p);
    for (const std::string& a : inv.args) check(inv.command + ": the argument", a);
    for (const auto& [name, value] : inv.env) check("git: -e", name + "=" + value);
    check(inv.command + ": the directory", inv.dir);
    check("exec: the program", inv.program);
    check("call: the method", inv.method);
}

int dispatch(const Invocation& inv) {
    refuse_non_utf8(inv);
    using Command = int (*)(AgentClient&, const Invocation&);
    static const std::map<std::string, Command> commands = {
        {"hello", cmd_hello},       {"cat", cmd_cat}, {"put", cmd_put},     {"get", cmd_get},
        {"stat", cmd_stat},         {"ls", cmd_ls},   {"mkdir", cmd_mkdir}, {"rm", cmd_rm},
        {"realpath", cmd_realpath}, {"wc", cmd_wc},   {"exec", cmd_exec},   {"git", cmd_git},
        {"call", cmd_call},
    };
    if (inv.command == "watch") return cmd_watch([&] { return connect(inv); }, inv);
    std::unique_ptr<AgentClient> c = connect(inv);
    try {
        return commands.at(inv.command)(*c, inv);
    } catch (const client::AgentError& e) {
        connection_lost(*c, inv, e.what());
    }
}

}  // namespace

Invocation parse(const std::vector<std::string>& args) {
    Invocation inv;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help" || a == "--version") {
            (a == "--version" ? inv.version : inv.help) = true;
            return inv;
        }
        if (take_long_option(args, i, inv) || take_ssh_option(args, i, inv)) continue;
        if (!a.empty() && a[0] == '-') throw UsageError("unknown option \"" + a + "\"");
        break;
    }
    if (i >= args.size()) throw UsageError("missing COMMAND");
    inv.command = args[i];
    parse_command(
        std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()),
        inv);
    if (inv.agent && inv.ssh_host) throw UsageError("--agent and --ssh exclude each other");
    if (inv.remote_agent && !inv.ssh_host) throw UsageError("--remote-agent needs --ssh");
    if (!inv.ssh_options.empty() && !inv.ssh_host)
        throw UsageError(inv.ssh_options[0] + " is an ssh option and needs --ssh");
    if (inv.ssh_host && (inv.ssh_host->empty() || (*inv.ssh_host)[0] == '-'))
        throw UsageError("--ssh wants a host name, got \"" + *inv.ssh_host + "\"");
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
    return std::string(kUsageLine) + R"(

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
                        passed to ssh as they are
  --no-share            connect afresh; by default runs to the same host share one ssh
                        connection (ControlMaster=auto, ControlPersist=60, sockets in
                        $XDG_RUNTIME_DIR/vesk or /tmp/vesk-UID, mode 0700)
  --json                machine-readable output (one JSON document per line); errors
                        too, as {"error": TEXT} on stdout (except for cat and get to stdout)
  --version             vesk's version
  -h, --help            this text

Commands (paths are the agent's; a leading ~ means the agent's home; -- ends options):
  hello                         what the agent is: version, system, home, git
  cat PATH...                   write files to stdout (--json has no effect)
  put [LOCAL] PATH              store LOCAL (default: stdin) as the file's whole content
  get PATH [LOCAL]              copy the file to LOCAL (a directory: LOCAL/NAME) through
                                a temporary file renamed into place; default: stdout
  stat PATH...                  existence, type and size; exit 1 if any is missing or
                                not accessible
  ls [-l] [PATH]                names in a directory, sorted by bytes (a name with
                                a line break or control character is shown quoted);
                                -l: each with its kind and size
  mkdir PATH...                 create directories and their missing parents
  rm [-r] [-f] [--no-preserve-root] PATH...
                                remove files or empty directories; -r: whole trees;
                                -f: a missing path is no error; / and the home
                                directory are refused unless --no-preserve-root is given
  realpath PATH...              absolute paths without links, . or ..
  wc PATH...                    line counts ("-" and, on stderr, why, where a file
                                cannot be counted; then exit 1)
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
ours and exit with its exit code: 127 when it could not start (the message names
the missing directory or program), 1 when a signal ended it.

Transfers of 8 MiB or more show a progress bar on stderr when stderr is a terminal.

Exit status: 0 success, 1 a request failed (or the agent died), 2 usage error,
255 ssh failed; exec and git: the program's.
)";
}

namespace {

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

}  // namespace

int run(int argc, char** argv) {
    hold_standard_descriptors();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Invocation inv;
    try {
        inv = parse(args);
    } catch (const UsageError& e) {
        write_err("vesk: " + std::string(e.what()) + "\nTry 'vesk --help' for more.\n");
        return kExitUsage;
    }
    json_errors =
        inv.json && inv.command != "cat" && !(inv.command == "get" && inv.paths.size() == 1);
    // Our own writes to a closed stdout must fail as errors, not end the tool half-way.
    ::signal(SIGPIPE, SIG_IGN);
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
    } catch (const client::RequestError& e) {
        std::string what = inv.paths.empty() ? e.method() : inv.paths[0];
        complain(what + ": " + e.text());
    } catch (const std::exception& e) {
        complain(e.what());
    }
    return kExitFailed;
}

}  // namespace vesk::cli
