#include "support/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vesk::test {

const char* agent_path() {
    if (const char* p = std::getenv("VESK_AGENT")) return p;
    return VESK_AGENT_PATH;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vesk-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make everything writable again first: tests take permissions away.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, std::string_view content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int ProcessResult::exit_code() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const bool kSigpipeIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::string reply_header(std::uint64_t id, const nlohmann::json& data) {
    std::string h = "{\"id\":" + std::to_string(id);
    if (!data.is_null()) h += ",\"data\":" + data.dump();
    return h + "}";
}

std::string error_header(std::uint64_t id, const std::string& text) {
    return "{\"id\":" + std::to_string(id) + ",\"error\":" + nlohmann::json(text).dump() + "}";
}

std::string be32(std::uint32_t n) {
    return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
            static_cast<char>(n)};
}

std::string frame(std::string_view payload) {
    return be32(static_cast<std::uint32_t>(payload.size())) + std::string(payload);
}

bool split_frames(std::string_view raw, std::vector<std::string_view>& frames, std::size_t* at) {
    std::size_t pos = 0;
    while (pos < raw.size()) {
        auto b = reinterpret_cast<const unsigned char*>(raw.data() + pos);
        std::size_t len = raw.size() - pos < 4
                              ? 0
                              : (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) |
                                    (std::size_t{b[2]} << 8) | std::size_t{b[3]};
        if (raw.size() - pos < 4 || raw.size() - pos - 4 < len) break;
        frames.push_back(raw.substr(pos + 4, len));
        pos += 4 + len;
    }
    if (at) *at = pos;
    return pos == raw.size();
}

std::string os_error(int err) {
    return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

namespace {
std::vector<std::string> build_env(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) out.emplace_back(*e);
    for (const auto& change : changes) {
        const std::string& name = change.first;
        const std::optional<std::string>& value = change.second;
        std::erase_if(out, [&](const std::string& s) {
            return s.size() > name.size() && s.compare(0, name.size(), name) == 0 &&
                   s[name.size()] == '=';
        });
        if (value) out.push_back(name + "=" + *value);
    }
    return out;
}
}  // namespace

ProcessResult run_process(
    const std::vector<std::string>& argv, std::string_view input,
    const std::vector<std::pair<std::string, std::optional<std::string>>>& env) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envs = build_env(env);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid;
    // The test program ignores SIGPIPE; what it starts gets the default back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("spawn failed: " + std::string(std::strerror(rc)));
    }
    ProcessResult r;
    std::size_t written = 0;
    int in_fd = in[1];
    if (input.empty()) {
        ::close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    int fds[2] = {out[0], err[0]};
    std::string* sinks[2] = {&r.out, &r.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[3];
        int n = 0;
        for (int i = 0; i < 2; ++i) p[n++] = {fds[i], POLLIN, 0};
        p[n++] = {in_fd, POLLOUT, 0};
        if (::poll(p, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t k = ::read(fds[i], buf, sizeof buf);
            if (k > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(k));
            } else if (k == 0 || errno != EINTR) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
        if (in_fd >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t k = ::write(in_fd, input.data() + written, input.size() - written);
            if (k > 0) written += static_cast<std::size_t>(k);
            if ((k < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) ::close(in_fd);
    while (::waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
    }
    return r;
}

}  // namespace vesk::test
