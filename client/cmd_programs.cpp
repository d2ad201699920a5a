// Programs and the agent itself: hello, exec, git, call, watch.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <regex>

#include "client/commands.h"
#include "client/output.h"

namespace vesk::cli {

namespace {

using nlohmann::json;
using vesk::client::AgentClient;

// exec, git and call take their body from standard input unless it is a terminal (a person
// typing is not a body) or -n says not to.
std::string body_from_stdin(const Invocation& inv) {
    if (inv.no_stdin || ::isatty(0)) return {};
    return read_all(0, "standard input");
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
            if (i + 1 >= rest.size()) throw UsageError(inv.name + ": -C needs a directory");
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

// A program that did not exit: it could not start (the reply then holds nothing but the start
// error's text, in the agent's "... (os error N)" form) or a signal ended it. The reply does
// not say which, nor what is missing: asked after the fact. Nothing for a signal.
std::optional<std::string> start_failure(AgentClient& c, const client::ProgramResult& r,
                                         const Invocation& inv, const std::string& program) {
    static const std::regex kStartError(R"([^\n]* \(os error [0-9]+\)|nul byte found in .*)");
    if (r.stdout_size != 0 || !std::regex_match(r.stderr_text, kStartError)) return std::nullopt;
    std::string head = inv.name + ": cannot start " + program + " in " + inv.dir + ": ";
    client::FileStat dir = c.stat(inv.dir);
    if (!dir.exists) return head + "the directory " + absent_because(c, inv.dir);
    if (!dir.is_dir) return head + "it is not a directory";
    if (program.find('/') == std::string::npos && is_os_error(r.stderr_text, ENOENT))
        return inv.name + ": cannot start " + program + ": no such program on the agent's PATH";
    return inv.name + ": cannot start " + program + ": " + r.stderr_text;
}

// Shared by exec and git: the program's standard output goes to ours as it arrives (with
// --json it is held, to be written escaped), its standard error after it, and its exit code
// becomes our exit status; one that could not start gives 127, as a shell does.
int run_program(Session& s, const std::string& program,
                const std::function<client::ProgramResult(client::Sink)>& start) {
    const Invocation& inv = s.inv;
    int write_error = 0;
    client::Sink to_stdout;
    if (!inv.json) {
        to_stdout = [&](std::string_view piece) {
            while (write_error == 0 && !piece.empty()) {
                ssize_t w = ::write(1, piece.data(), piece.size());
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) write_error = errno;
                if (w > 0) piece.remove_prefix(static_cast<std::size_t>(w));
            }
        };
    }
    client::ProgramResult r;
    {
        std::lock_guard<std::mutex> lock(out_mu);
        r = start(std::move(to_stdout));
    }
    if (write_error) throw OutputFailed{write_error};
    std::optional<std::string> why;
    int status = r.code;
    if (r.code < 0) {
        why = start_failure(s.agent(), r, inv, program);
        status = why ? kExitCannotStart : kExitFailed;
        if (!why) why = program + " was killed by a signal (the agent does not say which)";
    }
    if (inv.json) {
        // The members in the order a JSON object of them is written: by name.
        json head = {{"code", r.code}};
        if (why) head["error"] = *why;
        head["stderr"] = r.stderr_text;
        std::string text = dump(head);
        text.pop_back();
        write_out(text + ",\"stdout\":\"");
        write_json_text(r.stdout_bytes);
        write_out("\"}\n");
        return status;
    }
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

std::string local_time_now() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace

void parse_none(const std::vector<std::string>& words, Invocation& inv) {
    take_paths(words, inv, [](const std::string&) { return false; });
    if (!inv.paths.empty()) throw UsageError(inv.name + " takes no arguments");
}

void parse_exec(const std::vector<std::string>& words, Invocation& inv) {
    std::size_t i = parse_run_options(words, inv, false);
    if (i >= words.size()) throw UsageError("exec: missing PROGRAM");
    inv.program = words[i];
    inv.args.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
}

void parse_git(const std::vector<std::string>& words, Invocation& inv) {
    std::size_t i = parse_run_options(words, inv, true);
    inv.args.assign(words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
}

void parse_call(const std::vector<std::string>& words, Invocation& inv) {
    std::size_t i = 0;
    if (i < words.size() && words[i] == "-n") {
        inv.no_stdin = true;
        ++i;
    }
    if (i >= words.size()) throw UsageError("call: missing METHOD");
    inv.method = words[i++];
    if (i < words.size()) {
        inv.data = words[i++];
        if (!json::accept(*inv.data)) throw UsageError("call: JSON-DATA is not valid JSON");
    }
    if (i < words.size()) throw UsageError("call: too many arguments");
}

int run_hello(Session& s) {
    if (s.inv.json) {
        client::Message m = s.agent().request("hello");
        if (m.error) throw client::RequestError("hello", *m.error);
        write_out(dump(m.data) + "\n");
        return kExitOk;
    }
    client::Hello h = s.agent().hello();
    std::string out;
    out += "agent     vesk-agent " + h.version + " (protocol " + std::to_string(h.protocol) + ")\n";
    out += "system    " + h.os + " " + h.arch + "\n";
    out += "home      " + (h.home.empty() ? std::string("(not set)") : h.home) + "\n";
    out += "git       " + h.git.value_or("(not available)") + "\n";
    write_out(out);
    return kExitOk;
}

int run_exec(Session& s) {
    std::string input = body_from_stdin(s.inv);
    return run_program(s, s.inv.program, [&](client::Sink sink) {
        return s.agent().exec(s.inv.dir, s.inv.program, s.inv.args, input, std::move(sink));
    });
}

int run_git(Session& s) {
    std::string input = body_from_stdin(s.inv);
    return run_program(s, "git", [&](client::Sink sink) {
        return s.agent().git(s.inv.dir, s.inv.args, s.inv.env, input, std::move(sink));
    });
}

int run_call(Session& s) {
    const Invocation& inv = s.inv;
    json data = inv.data ? json::parse(*inv.data) : json();
    std::string input = body_from_stdin(inv);
    client::Message m = s.agent().request(inv.method, data, input);
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

// Prints one line per "changed" event until SIGINT or SIGTERM, then exits 0. The signals are
// blocked before the client starts its threads, so only this thread ever takes them.
int run_watch(Session& s) {
    const Invocation& inv = s.inv;
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    // The handler runs on the client's reader thread: a failed write is handed to this one.
    // Static, so that they outlive the client and its reader.
    static std::mutex failed_mu;
    static std::optional<OutputFailed> failed;
    AgentClient& c = s.agent();
    c.set_event_handler([&inv](const client::Message& m) {
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
    for (const std::string& p : inv.paths) {
        c.watch(p);
        announce_watch(c, p);
    }
    for (;;) {
        timespec tick{0, 200 * 1000 * 1000};
        if (sigtimedwait(&stop_set, nullptr, &tick) > 0) return kExitOk;
        {
            std::lock_guard<std::mutex> lock(failed_mu);
            if (failed) throw *failed;
        }
        if (std::optional<std::string> why = c.failure()) {
            // A Ctrl-C reaches the local agent too; its death is then no error.
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)
                return kExitOk;
            s.connection_lost(*why);
        }
    }
}

}  // namespace vesk::cli
