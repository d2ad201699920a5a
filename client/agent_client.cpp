#include "client/agent_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vesk::client {

namespace {

void put_be32(std::string& out, std::uint32_t n) {
    out.push_back(static_cast<char>(n >> 24));
    out.push_back(static_cast<char>(n >> 16));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t w = ::write(fd, bytes.data(), bytes.size());
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(w));
    }
    return true;
}

// Reads exactly n bytes; false at end of file, on error, or once stop_fd becomes readable.
bool read_exact(int fd, int stop_fd, char* p, std::size_t n) {
    while (n > 0) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents) return false;
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& [name, value] : changes) {
        std::erase_if(env, [&](const std::string& s) {
            return s.size() > name.size() && s.compare(0, name.size(), name) == 0 &&
                   s[name.size()] == '=';
        });
        if (value) env.push_back(name + "=" + *value);
    }
    return env;
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
    std::string out = encode_frame(header.dump());
    out += encode_frame(body);
    return out;
}

AgentClient::AgentClient(const std::string& agent_path) {
    StartOptions options;
    options.argv = {agent_path, "serve"};
    start(options);
}

AgentClient::AgentClient(const StartOptions& options) {
    start(options);
}

void AgentClient::start(const StartOptions& options) {
    int in[2], out[2], err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (options.capture_stderr && ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (options.capture_stderr) posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (options.cwd) posix_spawn_file_actions_addchdir_np(&fa, options.cwd->c_str());

    std::vector<char*> argv;
    for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment(options.env);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (err[1] >= 0) ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        if (err[0] >= 0) ::close(err[0]);
        throw std::runtime_error("cannot start agent: " + std::string(std::strerror(rc)));
    }
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    stop_r_ = stop[0];
    stop_w_ = stop[1];
    reader_ = std::thread([this] { reader_loop(); });
    if (err_fd_ >= 0) {
        err_reader_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                pollfd fds[2] = {{err_fd_, POLLIN, 0}, {stop_r_, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno == EINTR) continue;
                if (fds[1].revents) break;
                ssize_t r = ::read(err_fd_, buf, sizeof buf);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                std::lock_guard<std::mutex> lock(mu_);
                err_text_.append(buf, static_cast<std::size_t>(r));
            }
        });
    }
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

void AgentClient::reader_loop() {
    for (;;) {
        char len[4];
        Message m;
        std::uint32_t n[2];
        bool ok = true;
        std::string frames[2];
        for (int i = 0; i < 2 && ok; ++i) {
            if (!read_exact(out_fd_, stop_r_, len, 4)) {
                ok = false;
                if (i == 1) {
                    std::lock_guard<std::mutex> lock(mu_);
                    malformed_ = true;
                }
                break;
            }
            n[i] = (std::uint32_t{static_cast<unsigned char>(len[0])} << 24) |
                   (std::uint32_t{static_cast<unsigned char>(len[1])} << 16) |
                   (std::uint32_t{static_cast<unsigned char>(len[2])} << 8) |
                   std::uint32_t{static_cast<unsigned char>(len[3])};
            frames[i].resize(n[i]);
            if (!read_exact(out_fd_, stop_r_, frames[i].data(), n[i])) {
                std::lock_guard<std::mutex> lock(mu_);
                malformed_ = true;
                ok = false;
            }
            if (ok) {
                std::lock_guard<std::mutex> lock(mu_);
                raw_.append(len, 4);
                raw_.append(frames[i]);
            }
        }
        if (!ok) break;
        m.header_text = std::move(frames[0]);
        m.body = std::move(frames[1]);
        try {
            m.header = nlohmann::json::parse(m.header_text);
            m.id = m.header.at("id").get<std::uint64_t>();
            if (m.header.contains("method")) m.method = m.header["method"].get<std::string>();
            if (m.header.contains("data")) m.data = m.header["data"];
            if (m.header.contains("error")) m.error = m.header["error"].get<std::string>();
        } catch (const std::exception&) {
            std::lock_guard<std::mutex> lock(mu_);
            malformed_ = true;
            break;
        }
        std::lock_guard<std::mutex> lock(mu_);
        transcript_.push_back(m);
        if (m.id == 0 && m.method) {
            events_.push_back(std::move(m));
        } else {
            replies_[m.id].push_back(std::move(m));
        }
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = true;
    cv_.notify_all();
}

std::uint64_t AgentClient::send(std::string_view method, const nlohmann::json& data,
                                std::string_view body) {
    std::lock_guard<std::mutex> lock(send_mu_);
    std::uint64_t id = next_id_++;
    if (in_fd_ >= 0) write_all(in_fd_, encode_request(id, method, data, body));
    return id;
}

void AgentClient::send_with_id(std::uint64_t id, std::string_view method,
                               const nlohmann::json& data, std::string_view body) {
    std::lock_guard<std::mutex> lock(send_mu_);
    if (in_fd_ >= 0) write_all(in_fd_, encode_request(id, method, data, body));
}

void AgentClient::send_raw(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(send_mu_);
    if (in_fd_ >= 0) write_all(in_fd_, bytes);
}

Message AgentClient::call(std::string_view method, const nlohmann::json& data,
                          std::string_view body, std::chrono::milliseconds timeout) {
    std::uint64_t id = send(method, data, body);
    std::optional<Message> m = wait_reply(id, timeout);
    if (!m) throw std::runtime_error("no reply to " + std::string(method));
    return std::move(*m);
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
    if (exit_status_) return exit_status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exit_status_ = status;
            return exit_status_;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
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

std::vector<Message> AgentClient::transcript() {
    std::lock_guard<std::mutex> lock(mu_);
    return transcript_;
}

std::string AgentClient::raw_output() {
    std::lock_guard<std::mutex> lock(mu_);
    return raw_;
}

std::string AgentClient::stderr_text() {
    if (err_reader_.joinable() && exit_status_) err_reader_.join();
    std::lock_guard<std::mutex> lock(mu_);
    return err_text_;
}

}  // namespace vesk::client
