#include "client/output.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "common/codec.h"

namespace vesk::cli {

using nlohmann::json;

std::mutex out_mu;
bool json_errors = false;
std::shared_ptr<ProgressBar> progress_bar;
bool stdin_was_closed = false;

void write_out(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(out_mu);
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
        int err = errno;
        std::clearerr(stdout);
        throw OutputFailed{err};
    }
}

void write_err(std::string_view bytes) {
    if (progress_bar) progress_bar->break_line();
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

std::string dump(const json& j, int indent) {
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

void write_json_text(std::string_view bytes) {
    constexpr std::size_t kPiece = 1u << 20;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t end = std::min(bytes.size(), at + kPiece);
        // A piece never ends inside a character, or its repair would differ from the whole's.
        for (int back = 0; back < 3 && end < bytes.size() && end > at + 1 &&
                           (static_cast<unsigned char>(bytes[end]) & 0xc0) == 0x80;
             ++back)
            --end;
        std::string text = dump(json(std::string(bytes.substr(at, end - at))));
        write_out(std::string_view(text).substr(1, text.size() - 2));
        at = end;
    }
}

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

bool stdin_is_data() {
    struct stat st;
    return !stdin_was_closed && ::fstat(0, &st) == 0 &&
           (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

std::runtime_error too_large_for_agent(const std::string& name) {
    return std::runtime_error(name + ": too large to send: the agent takes at most " +
                              std::to_string(kMaxFrameLen) + " bytes (1 GiB) per request");
}

std::optional<std::uint64_t> regular_file_rest(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    return static_cast<std::uint64_t>(st.st_size > at && at >= 0 ? st.st_size - at : 0);
}

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

namespace {

std::mutex temp_mu;
std::set<std::string> temp_paths;  // under temp_mu

}  // namespace

void guard_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        int sig = 0;
        while (sigwait(&set, &sig) != 0) {
        }
        // Held to the end: no file is listed or renamed into place after this.
        temp_mu.lock();
        for (const std::string& p : temp_paths) ::unlink(p.c_str());
        ::signal(sig, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(sig);
    }).detach();
}

void remove_on_signal(const std::string& path) {
    std::lock_guard<std::mutex> lock(temp_mu);
    temp_paths.insert(path);
}

void forget_on_signal(const std::string& path) {
    std::lock_guard<std::mutex> lock(temp_mu);
    temp_paths.erase(path);
}

}  // namespace vesk::cli
