// Blocking reads and writes of the agent's pipes, for the session's threads.
#include "client/stream_io.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vesk::client {

bool write_all_blocking_sigpipe(int fd, std::initializer_list<std::string_view> pieces,
                                const std::function<void(std::size_t)>& on_chunk) {
    sigset_t pipe_set, old_set, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    bool ok = true;
    std::size_t before = 0;  // bytes of the earlier pieces
    for (std::string_view bytes : pieces) {
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            std::size_t n = std::min(kChunk, bytes.size() - done);
            ssize_t w = ::write(fd, bytes.data() + done, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            done += static_cast<std::size_t>(w);
            if (on_chunk) on_chunk(before + done);
        }
        before += done;
    }
    const int err = errno;
    if (!ok && err == EPIPE && !was_pending) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    errno = err;  // the write's, for the caller
    return ok;
}

ReadResult read_some(int fd, int stop_fd, char* p, std::size_t n, std::size_t& got) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return ReadResult::end;
        }
        if (fds[1].revents) return ReadResult::stopped;
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return ReadResult::end;
        got = static_cast<std::size_t>(r);
        return ReadResult::ok;
    }
}

ReadResult read_exact(int fd, int stop_fd, char* p, std::size_t n) {
    for (std::size_t done = 0, got = 0; done < n; done += got) {
        ReadResult r = read_some(fd, stop_fd, p + done, std::min(kChunk, n - done), got);
        if (r != ReadResult::ok) return r;
    }
    return ReadResult::ok;
}

ReadResult read_payload(int fd, int stop_fd, std::string& out, std::size_t n,
                        const std::function<void(std::size_t)>& on_chunk) {
    std::size_t done = out.size();
    while (done < n) {
        if (out.size() == done) out.resize(std::min(n, std::max(2 * done, kChunk)));
        std::size_t got = 0;
        ReadResult r =
            read_some(fd, stop_fd, out.data() + done, std::min(kChunk, out.size() - done), got);
        if (r != ReadResult::ok) {
            out.resize(done);
            return r;
        }
        done += got;
        if (on_chunk) on_chunk(done);
    }
    out.resize(done);
    return ReadResult::ok;
}

}  // namespace vesk::client
