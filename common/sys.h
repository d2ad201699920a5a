// Thin POSIX layer: owned descriptors, the system error text, whole writes, detached threads
// and the home directory. Everything here is safe to call from any thread.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace vesk {

// Owns one file descriptor and closes it on destruction.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// "No such file or directory (os error 2)": the C library's description, then the number.
std::string os_error_text(int err);

// The agent's own refusal of a path with an embedded NUL, before any system call.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";
inline bool contains_nul(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

// Writes all n bytes, retrying interrupted and partial writes. Returns 0 or the errno value.
int write_all(int fd, const void* p, std::size_t n);

// Starts fn on a new detached thread. stack_size 0 keeps the system's default.
// Returns 0, or the errno value when the thread cannot be created (fn is then not run).
int start_detached_thread(std::function<void()> fn, std::size_t stack_size = 0);

// How the serve loop and the watchers start threads: start_detached_thread unless a test
// injects a starter that fails on purpose.
using ThreadStarter = std::function<int(std::function<void()> fn, std::size_t stack_size)>;

// $HOME when it is set and valid UTF-8, otherwise empty. Read afresh on every call.
std::string home_dir();

}  // namespace vesk
