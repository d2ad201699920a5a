// Helpers shared by the test programs: temporary directories and files, running programs, and
// the two end-to-end harnesses: method tables through the client library (Row, expect_replies)
// and raw bytes through an agent started here (Proc, messages_of).
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "common/codec.h"
#include "common/spawn.h"

namespace vesk::test {

using json = nlohmann::json;
using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;
inline constexpr std::chrono::seconds kWait{60};

// Every test program talks to children through pipes: a write to one that has gone must fail
// with EPIPE rather than end the program.
inline const bool kSigpipeIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Sanitizer builds cannot run under an address-space cap (they reserve terabytes of shadow
// memory) and are slower, so some tests skip or scale down.
#if defined(__has_feature)
#define VESK_TEST_HAS(x) __has_feature(x)
#else
#define VESK_TEST_HAS(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || VESK_TEST_HAS(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || VESK_TEST_HAS(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
inline constexpr bool kUndefinedSanitizer = VESK_TEST_HAS(undefined_behavior_sanitizer);
inline constexpr bool kSanitized = kThreadSanitizer || kAddressSanitizer;

// The vesk-agent binary under test ($VESK_AGENT overrides the build's).
inline const char* agent_path() {
    const char* p = std::getenv("VESK_AGENT");
    return p ? p : VESK_AGENT_PATH;
}

// The C library's error text in the agent's form, computed here rather than hard-coded.
inline std::string os_error(int err) {
    return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base && *base ? base : "/tmp") + "/vesk-test-XXXXXX";
        if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

inline void write_file(const std::string& path, std::string_view content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f.write(content.data(), static_cast<std::streamsize>(content.size())))
        throw std::runtime_error("cannot write " + path);
}

// A shell script, executable.
inline void write_script(const std::string& path, std::string_view body) {
    write_file(path, "#!/bin/sh\n" + std::string(body) + "\n");
    ::chmod(path.c_str(), 0755);
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? buf : "<unresolvable " + path + ">";
}

// What is at a path, for tables of expected effects: the file's content, or one of these.
// A process that is gone, or a zombie (init here may not reap what the agent left behind).
inline bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_text, comm, state;
    return !(stat >> pid_text >> comm >> state) || state == "Z";
}

inline const std::string kGone = "<gone>", kDir = "<dir>", kLink = "<link>";
inline std::string state_of(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return kGone;
    if (S_ISLNK(st.st_mode)) return kLink;
    return S_ISDIR(st.st_mode) ? kDir : read_file(path);
}

// One message as it came off the wire.
struct Msg {
    std::string header, body;
    auto operator<=>(const Msg&) const = default;
};
inline void PrintTo(const Msg& m, std::ostream* os) {
    *os << m.header << " + " << m.body.size() << " body bytes";
}

// Cuts an output stream into messages; false when it is not whole frames in pairs.
inline bool messages_of(std::string_view stream, std::vector<Msg>& out) {
    std::vector<std::string_view> frames;
    bool whole = split_frames(stream, frames);
    for (std::size_t i = 0; i + 1 < frames.size(); i += 2)
        out.push_back({std::string(frames[i]), std::string(frames[i + 1])});
    return whole && frames.size() % 2 == 0;
}

inline std::string be32(std::uint32_t n) {
    std::string b(4, '\0');
    put_be32(b.data(), n);
    return b;
}

// A request's bytes, through the shared codec.
inline std::string request(std::uint64_t id, const std::string& method, const json& data = nullptr,
                           std::string_view body = {}) {
    return encode_message(Header{id, method, data, std::nullopt}, body);
}

// A request whose header text is given as it is.
inline std::string raw_request(std::string_view header, std::string_view body = {}) {
    return encode_frame(header) + encode_frame(body);
}

// A child with its standard streams on pipes: send() feeds its input, two threads collect its
// outputs (standard output is left alone with read_output false).
class Proc {
  public:
    explicit Proc(const SpawnOptions& options, bool read_output = true) {
        if (int e = spawn_child(options, child))
            throw std::runtime_error("cannot start " + options.argv[0] + ": " + os_error(e));
        if (read_output)
            out_reader_ = std::thread([this] { collect(child.out.get(), out_, out_end_); });
        err_reader_ = std::thread([this] { collect(child.err.get(), err_, err_end_); });
    }
    ~Proc() {
        close_input();
        if (!child.ended()) ::kill(child.pid(), SIGKILL);
        int status;
        child.wait(&status);
        if (out_reader_.joinable()) out_reader_.join();
        err_reader_.join();
    }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    bool send(std::string_view bytes) {
        return child.in && write_all(child.in.get(), bytes.data(), bytes.size()) == 0;
    }
    void close_input() { child.in.reset(); }
    // The wait status once it has exited and its outputs ended; nothing after the timeout.
    std::optional<int> finish(std::chrono::milliseconds timeout = kWait) {
        for (auto end = std::chrono::steady_clock::now() + timeout; !child.ended();) {
            if (child.poll_exit() != 0 || std::chrono::steady_clock::now() > end) return {};
            if (!child.ended()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::unique_lock<std::mutex> lock(mu_);
        bool ended = cv_.wait_for(
            lock, timeout, [&] { return err_end_ && (out_end_ || !out_reader_.joinable()); });
        return ended ? std::optional<int>(child.status()) : std::nullopt;
    }
    // The whole messages on its output once there are n of them, or the output ended, or the
    // timeout passed.
    std::vector<Msg> messages(std::size_t n = 0, std::chrono::milliseconds timeout = kWait) {
        std::vector<Msg> msgs;
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, timeout, [&] {
            msgs.clear();
            messages_of(out_, msgs);
            return msgs.size() >= n || out_end_;
        });
        return msgs;
    }
    std::string out() {
        std::lock_guard<std::mutex> lock(mu_);
        return out_;
    }
    std::string err() {
        std::lock_guard<std::mutex> lock(mu_);
        return err_;
    }
    pid_t pid() const { return child.pid(); }
    Child child;

  private:
    void collect(int fd, std::string& sink, bool& end) {
        char buf[1 << 16];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(mu_);
            if (n < 0) break;
            sink.append(buf, static_cast<std::size_t>(n));
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mu_);
        end = true;
        cv_.notify_all();
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    bool out_end_ = false, err_end_ = false;
    std::thread out_reader_, err_reader_;
};

struct ProcessResult {
    int status = -1;  // wait status
    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    std::string out, err;
};

// Runs argv to its end with the given standard input; env changes the inherited environment.
inline ProcessResult run_process(const std::vector<std::string>& argv, std::string_view input = {},
                                 const Env& env = {}, const std::optional<std::string>& cwd = {}) {
    Proc p(SpawnOptions{argv, cwd, env});
    p.send(input);
    p.close_input();
    int status = p.finish(std::chrono::minutes(10)).value_or(-1);
    return {status, p.out(), p.err()};
}

// `agent serve`; with ulimit set, started through a shell that applies `ulimit <ulimit>` first
// (exec keeps the process id).
inline SpawnOptions serve_options(const Env& env = {}, const std::optional<std::string>& cwd = {},
                                  const std::string& ulimit = {}) {
    if (ulimit.empty()) return {{agent_path(), "serve"}, cwd, env};
    return {
        {"/bin/sh", "-c", "ulimit " + ulimit + " && exec \"$0\" serve", agent_path()}, cwd, env};
}

inline client::StartOptions agent_options(const Env& env = {},
                                          const std::optional<std::string>& cwd = {},
                                          const std::string& ulimit = {}) {
    client::StartOptions o;
    o.argv = serve_options({}, {}, ulimit).argv;
    o.env = env;
    o.cwd = cwd;
    return o;
}

// Replies spelled out: what follows `{"id":N` in the header.
inline std::string ok(std::string_view data_json = {}) {
    return data_json.empty() ? "}" : ",\"data\":" + std::string(data_json) + "}";
}
inline std::string err(std::string_view text) {
    return ",\"error\":" + json(std::string(text)).dump() + "}";
}
// The result of an exec or git run.
inline std::string done(int code, std::string_view stderr_text = {}) {
    return ok("{\"code\":" + std::to_string(code) +
              ",\"stderr\":" + json(std::string(stderr_text)).dump() + "}");
}
// A whole expected message: the reply to id with that header tail.
inline Msg reply(std::uint64_t id, std::string_view tail, std::string body = {}) {
    return {"{\"id\":" + std::to_string(id) + std::string(tail), std::move(body)};
}

// Request data: a path, and an exec run.
inline json at(const std::string& path, json recursive = nullptr) {
    return recursive.is_null() ? json{{"path", path}}
                               : json{{"path", path}, {"recursive", recursive}};
}
inline json run(const std::string& cwd, const std::string& program,
                const std::vector<std::string>& args) {
    return {{"cwd", cwd}, {"program", program}, {"args", args}};
}

// A method table row: the request, and the reply's exact header tail and body.
struct Row {
    std::string method;
    json data = nullptr;
    std::string body = {};
    std::string reply = {};
    std::string reply_body = {};
};

// Sends every row at once (rows run concurrently, so none may depend on another), then checks
// each reply byte for byte.
inline void expect_replies(client::AgentClient& c, const std::vector<Row>& rows) {
    std::vector<std::uint64_t> ids;
    for (const Row& r : rows) ids.push_back(c.send(r.method, r.data, r.body));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::string what =
            r.method + " " + r.data.dump(-1, ' ', false, json::error_handler_t::replace);
        std::optional<client::Message> m = c.wait_reply(ids[i], kWait);
        if (!m) {
            ADD_FAILURE() << "no reply to " << what << ": " << c.failure().value_or("");
            continue;
        }
        EXPECT_EQ(m->header_text, "{\"id\":" + std::to_string(ids[i]) + r.reply) << what;
        EXPECT_TRUE(m->body == r.reply_body)
            << what << ": body of " << m->body.size() << " bytes: " << m->body.substr(0, 200);
    }
}

}  // namespace vesk::test
