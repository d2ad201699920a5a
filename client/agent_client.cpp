#include "client/agent_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vesk::client {

namespace {

constexpr std::size_t kChunk = 1u << 20;
constexpr std::size_t kStderrKeep = 64u << 10;

void put_be32(std::string& out, std::uint32_t n) {
    out.push_back(static_cast<char>(n >> 24));
    out.push_back(static_cast<char>(n >> 16));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
}

// Writes everything without letting a vanished reader raise SIGPIPE in the caller's process:
// the signal is blocked for this thread during the write and a pending one is consumed.
bool write_all(int fd, std::string_view bytes, const std::function<void(std::size_t)>& on_chunk) {
    sigset_t pipe_set, old_set, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    bool ok = true;
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t n = std::min(kChunk, bytes.size() - done);
        ssize_t w = ::write(fd, bytes.data() + done, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(w);
        if (on_chunk) on_chunk(done);
    }
    if (!ok && errno == EPIPE && !was_pending) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    return ok;
}

enum class ReadResult { ok, end, stopped };

// Reads exactly n bytes, reporting progress after each chunk.
ReadResult read_exact(int fd, int stop_fd, char* p, std::size_t n,
                      const std::function<void(std::size_t)>& on_chunk = {}) {
    std::size_t done = 0;
    while (done < n) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return ReadResult::end;
        }
        if (fds[1].revents) return ReadResult::stopped;
        ssize_t r = ::read(fd, p + done, std::min(kChunk, n - done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return ReadResult::end;
        done += static_cast<std::size_t>(r);
        if (on_chunk) on_chunk(done);
    }
    return ReadResult::ok;
}

std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& change : changes) {
        const std::string& name = change.first;
        const std::optional<std::string>& value = change.second;
        std::erase_if(env, [&](const std::string& s) {
            return s.size() > name.size() && s.compare(0, name.size(), name) == 0 &&
                   s[name.size()] == '=';
        });
        if (value) env.push_back(name + "=" + *value);
    }
    return env;
}

// posix_spawnp searches the caller's PATH; a PATH given for the child is the one that counts.
std::string resolve_program(const std::string& program, const std::vector<std::string>& env) {
    if (program.find('/') != std::string::npos) return program;
    for (const std::string& e : env) {
        if (e.rfind("PATH=", 0) != 0) continue;
        std::string dirs = e.substr(5);
        std::size_t start = 0;
        for (;;) {
            std::size_t colon = dirs.find(':', start);
            std::string dir =
                dirs.substr(start, colon == std::string::npos ? colon : colon - start);
            std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    return program;
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

// The last few non-empty lines of the agent's standard error, for error messages.
std::string stderr_tail(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string::npos ? text.size() : nl;
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    constexpr std::size_t kLines = 3;
    std::string out;
    for (std::size_t i = lines.size() > kLines ? lines.size() - kLines : 0; i < lines.size(); ++i) {
        if (!out.empty()) out += " | ";
        out += lines[i];
    }
    return out;
}

std::uint32_t get_be32(const char* b) {
    return (std::uint32_t{static_cast<unsigned char>(b[0])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(b[1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(b[2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(b[3])};
}

}  // namespace

std::string encode_frame(std::string_view payload) {
    std::string out;
    out.reserve(payload.size() + 4);
    put_be32(out, static_cast<std::uint32_t>(payload.size()));
    out.append(payload);
    return out;
}

std::string encode_request(std::uint64_t id, std::string_view method, const nlohmann::json& data,
                           std::string_view body) {
    nlohmann::json header = nlohmann::json::object();
    header["id"] = id;
    header["method"] = std::string(method);
    if (!data.is_null()) header["data"] = data;
    std::string head = header.dump();
    std::string out;
    out.reserve(head.size() + body.size() + 8);
    put_be32(out, static_cast<std::uint32_t>(head.size()));
    out += head;
    put_be32(out, static_cast<std::uint32_t>(body.size()));
    out += body;
    return out;
}

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
    return options;
}

StartOptions ssh_start(const std::string& host, const std::string& remote_agent) {
    if (host.empty() || host[0] == '-')
        throw std::invalid_argument("not a host name: \"" + host + "\"");
    StartOptions options;
    // ssh hands the remote command to the remote user's shell, so it is one quoted string.
    // A leading "~/" stays outside the quotes so the remote shell still expands it.
    std::string command = remote_agent.rfind("~/", 0) == 0
                              ? "~/" + shell_quote(remote_agent.substr(2))
                              : shell_quote(remote_agent);
    options.argv = {"ssh", host, command + " serve"};
    return options;
}

AgentClient::AgentClient(const std::string& agent_path) {
    start(local_start(agent_path));
}

AgentClient::AgentClient(const StartOptions& options) {
    start(options);
}

void AgentClient::start(const StartOptions& options) {
    if (options.argv.empty()) throw std::runtime_error("cannot start agent: empty command");
    keep_transcript_ = options.keep_transcript;
    int in[2], out[2], err[2] = {-1, -1}, stop[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    if (options.capture_stderr && ::pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
        throw std::runtime_error("pipe failed");
    }

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (options.capture_stderr) posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (options.cwd) posix_spawn_file_actions_addchdir_np(&fa, options.cwd->c_str());

    // The caller may block or ignore signals (a tool waiting for SIGINT, a program ignoring
    // SIGPIPE); the agent and ssh start with a clean slate instead of inheriting that.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment(options.env);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string program = resolve_program(options.argv[0], env);
    int rc = posix_spawnp(&pid_, program.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (err[1] >= 0) ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        if (err[0] >= 0) ::close(err[0]);
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(rc));
    }
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (::pipe2(stop, O_CLOEXEC) != 0) {
        ::kill(pid_, SIGKILL);
        wait_exit(std::chrono::seconds(10));
        ::close(in_fd_);
        ::close(out_fd_);
        if (err_fd_ >= 0) ::close(err_fd_);
        throw std::runtime_error("pipe failed");
    }
    stop_r_ = stop[0];
    stop_w_ = stop[1];
    if (err_fd_ >= 0)
        err_reader_ = std::thread([this] { stderr_loop(); });
    else
        err_done_ = true;
    reader_ = std::thread([this] { reader_loop(); });
}

AgentClient::~AgentClient() {
    close_input();
    if (!wait_exit(std::chrono::seconds(10))) {
        ::kill(pid_, SIGKILL);
        wait_exit(std::chrono::seconds(10));
    }
    // The agent is gone, but a child it started may still hold its output open: tell the
    // readers to stop rather than wait for an end of file that may never come.
    ::close(stop_w_);
    if (reader_.joinable()) reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
    ::close(stop_r_);
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

void AgentClient::stderr_loop() {
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{err_fd_, POLLIN, 0}, {stop_r_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        ssize_t r = ::read(err_fd_, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        std::lock_guard<std::mutex> lock(mu_);
        err_text_.append(buf, static_cast<std::size_t>(r));
        // A chatty agent must not grow us without bound; the tail is what explains a death.
        if (err_text_.size() > 2 * kStderrKeep) err_text_.erase(0, err_text_.size() - kStderrKeep);
    }
    std::lock_guard<std::mutex> lock(mu_);
    err_done_ = true;
    cv_.notify_all();
}

// Reads one frame. false with clean_end when the stream ended before the length prefix began.
bool AgentClient::read_frame(std::string& payload, bool& clean_end) {
    clean_end = false;
    char len[4];
    ReadResult r = read_exact(out_fd_, stop_r_, len, 1);
    if (r != ReadResult::ok) {
        clean_end = true;
        return false;
    }
    if (read_exact(out_fd_, stop_r_, len + 1, 3) != ReadResult::ok) return false;
    std::uint32_t n = get_be32(len);
    payload.resize(n);
    ProgressHandler progress;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (progress_handler_ && n >= progress_threshold_) progress = progress_handler_;
    }
    std::function<void(std::size_t)> on_chunk;
    if (progress) on_chunk = [&](std::size_t done) { progress(false, done, n); };
    if (read_exact(out_fd_, stop_r_, payload.data(), n, on_chunk) != ReadResult::ok) return false;
    if (keep_transcript_) {
        std::lock_guard<std::mutex> lock(mu_);
        raw_.append(len, 4);
        raw_.append(payload);
    }
    return true;
}

void AgentClient::reader_loop() {
    for (;;) {
        Message m;
        bool clean_end = false;
        if (!read_frame(m.header_text, clean_end)) {
            if (clean_end) return finish("");
            return finish("its output ended inside a message");
        }
        if (!read_frame(m.body, clean_end)) return finish("its output ended inside a message");
        try {
            m.header = nlohmann::json::parse(m.header_text);
            m.id = m.header.at("id").get<std::uint64_t>();
            if (m.header.contains("method")) m.method = m.header["method"].get<std::string>();
            if (m.header.contains("data")) m.data = m.header["data"];
            if (m.header.contains("error")) m.error = m.header["error"].get<std::string>();
        } catch (const std::exception&) {
            return finish("it sent a header that is not a valid envelope");
        }
        deliver(std::move(m));
    }
}

void AgentClient::deliver(Message m) {
    EventHandler handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (keep_transcript_) transcript_.push_back(m);
        const bool is_event = m.id == 0 && m.method;
        if (is_event && event_handler_) {
            handler = event_handler_;
        } else if (is_event) {
            events_.push_back(std::move(m));
        } else {
            replies_[m.id].push_back(std::move(m));
        }
        cv_.notify_all();
    }
    if (handler) handler(m);
}

// The reader is done: wake everyone at once, then find out why the agent went away and
// publish that so pending and later requests fail with a useful message.
void AgentClient::finish(std::string cause) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        if (!cause.empty()) malformed_ = true;
        cv_.notify_all();
    }
    // The destructor stops the reader on purpose; nobody is waiting then.
    pollfd stop{stop_r_, POLLIN, 0};
    if (::poll(&stop, 1, 0) > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        failure_ = "the client was closed";
        cv_.notify_all();
        return;
    }
    std::string text = describe_death(cause.empty() ? "its output ended" : cause);
    std::lock_guard<std::mutex> lock(mu_);
    failure_ = std::move(text);
    cv_.notify_all();
}

std::string AgentClient::describe_death(const std::string& cause) {
    // An agent whose output ended normally exits right after; one that wrote garbage may not.
    auto grace = malformed_ ? std::chrono::milliseconds(300) : std::chrono::milliseconds(2000);
    std::optional<int> status = wait_exit(grace);
    std::string text = "agent failed: " + cause;
    text += status ? "; it " + describe_wait_status(*status) : "; it is still running";
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(status ? 1000 : 100), [&] { return err_done_; });
    std::string tail = stderr_tail(err_text_);
    if (!tail.empty()) text += "; its stderr ends: " + tail;
    return text;
}

void AgentClient::set_event_handler(EventHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    event_handler_ = std::move(handler);
}

void AgentClient::set_progress_handler(ProgressHandler handler, std::uint64_t threshold) {
    std::lock_guard<std::mutex> lock(mu_);
    progress_handler_ = std::move(handler);
    progress_threshold_ = threshold;
}

bool AgentClient::write_request(std::string_view bytes, std::uint64_t body_size) {
    ProgressHandler progress;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (progress_handler_ && body_size >= progress_threshold_) progress = progress_handler_;
    }
    std::function<void(std::size_t)> on_chunk;
    if (progress) on_chunk = [&](std::size_t done) { progress(true, done, bytes.size()); };
    return in_fd_ >= 0 && write_all(in_fd_, bytes, on_chunk);
}

std::uint64_t AgentClient::send(std::string_view method, const nlohmann::json& data,
                                std::string_view body) {
    std::lock_guard<std::mutex> lock(send_mu_);
    std::uint64_t id = next_id_++;
    write_request(encode_request(id, method, data, body), body.size());
    return id;
}

void AgentClient::send_with_id(std::uint64_t id, std::string_view method,
                               const nlohmann::json& data, std::string_view body) {
    std::lock_guard<std::mutex> lock(send_mu_);
    write_request(encode_request(id, method, data, body), body.size());
}

void AgentClient::send_raw(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(send_mu_);
    write_request(bytes, 0);
}

// Waits for the reply to id, or for the agent's death to be explained.
Message AgentClient::await(std::uint64_t id, std::string_view method,
                           std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ready = [&] {
        auto it = replies_.find(id);
        return (it != replies_.end() && !it->second.empty()) || failure_.has_value();
    };
    if (deadline) {
        cv_.wait_until(lock, *deadline, ready);
    } else {
        cv_.wait(lock, ready);
    }
    auto it = replies_.find(id);
    if (it != replies_.end() && !it->second.empty()) {
        Message m = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty()) replies_.erase(it);
        return m;
    }
    if (failure_) throw AgentError(*failure_);
    throw AgentError("no reply to " + std::string(method) + " in time");
}

Message AgentClient::call(std::string_view method, const nlohmann::json& data,
                          std::string_view body, std::chrono::milliseconds timeout) {
    std::uint64_t id = send(method, data, body);
    return await(id, method, std::chrono::steady_clock::now() + timeout);
}

Message AgentClient::request(std::string_view method, const nlohmann::json& data,
                             std::string_view body) {
    std::uint64_t id = send(method, data, body);
    return await(id, method, std::nullopt);
}

std::optional<Message> AgentClient::wait_reply(std::uint64_t id,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ready = [&] {
        auto it = replies_.find(id);
        return (it != replies_.end() && !it->second.empty()) || ended_;
    };
    cv_.wait_for(lock, timeout, ready);
    auto it = replies_.find(id);
    if (it == replies_.end() || it->second.empty()) return std::nullopt;
    Message m = std::move(it->second.front());
    it->second.pop_front();
    if (it->second.empty()) replies_.erase(it);
    return m;
}

std::optional<Message> AgentClient::next_event(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return !events_.empty() || ended_; });
    if (events_.empty()) return std::nullopt;
    Message m = std::move(events_.front());
    events_.pop_front();
    return m;
}

void AgentClient::close_input() {
    std::lock_guard<std::mutex> lock(send_mu_);
    if (in_fd_ >= 0) {
        ::close(in_fd_);
        in_fd_ = -1;
    }
}

std::optional<int> AgentClient::wait_exit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(exit_mu_);
            if (exit_status_) return exit_status_;
            int status;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exit_status_ = status;
                return exit_status_;
            }
            if (r < 0 && errno != EINTR) return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool AgentClient::output_ended() {
    std::lock_guard<std::mutex> lock(mu_);
    return ended_;
}

bool AgentClient::output_malformed() {
    std::lock_guard<std::mutex> lock(mu_);
    return malformed_;
}

std::optional<std::string> AgentClient::failure() {
    std::lock_guard<std::mutex> lock(mu_);
    return failure_;
}

std::vector<Message> AgentClient::transcript() {
    std::lock_guard<std::mutex> lock(mu_);
    return transcript_;
}

std::string AgentClient::raw_output() {
    std::lock_guard<std::mutex> lock(mu_);
    return raw_;
}

std::string AgentClient::stderr_text() {
    std::unique_lock<std::mutex> lock(mu_);
    bool exited;
    {
        std::lock_guard<std::mutex> exit_lock(exit_mu_);
        exited = exit_status_.has_value();
    }
    // After the exit the pipe reaches end of file promptly unless a grandchild holds it.
    if (exited) cv_.wait_for(lock, std::chrono::seconds(2), [&] { return err_done_; });
    return err_text_;
}

}  // namespace vesk::client
