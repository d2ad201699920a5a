// vesk-agent: command line and start-up.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "agent/exec/run_command.h"
#include "agent/serve.h"
#include "agent/version.h"
#include "common/sys.h"
#include "common/text.h"

namespace {

constexpr std::string_view kVersionLine = "vesk-agent " VESK_VERSION "\n";
constexpr std::string_view kUsageLine = "usage: vesk-agent serve | --version\n";

void write_text(int fd, std::string_view text) {
    vesk::write_all(fd, text.data(), text.size());
}

[[noreturn]] void fatal(std::string_view what) {
    std::string line = "vesk-agent: fatal: ";
    line += what;
    line += '\n';
    write_text(2, line);
    ::_exit(101);
}

// Descriptors 0-2 must exist before anything is opened, or a file we open could land on one
// of them and be taken for a standard stream.
void ensure_standard_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) continue;
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd < 0) fatal("cannot open /dev/null");
        if (null_fd != fd) {
            ::dup2(null_fd, fd);
            ::close(null_fd);
        }
    }
}

// Moves the protocol stream to a private close-on-exec descriptor and points fd 1 at fd 2, so
// a stray write to standard output from anywhere can never land inside a frame.
int guard_protocol_stream() {
    int out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (out < 0) fatal("cannot duplicate standard output");
    if (::dup2(2, 1) < 0) fatal("cannot redirect standard output");
    return out;
}

// A larger pipe means fewer wake-ups of the reader per megabyte of body. Failure is harmless.
void grow_pipe(int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

// A signal that ends the agent must not leave its programs running: each leads a process group
// of its own, so nothing else would reach them. The signals are blocked in every thread (the
// mask is set before any thread starts and children start with an empty one), and one thread
// waits for them, hangs the children up as end of input does, and ends the process by the same
// signal, so whoever sent it sees the usual status.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT};

void end_by_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals) sigaddset(&set, sig);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    int rc = vesk::start_detached_thread(
        [set] {
            int sig = 0;
            while (::sigwait(&set, &sig) != 0) {
            }
            vesk::hang_up_children();
            ::signal(sig, SIG_DFL);
            sigset_t just;
            sigemptyset(&just);
            sigaddset(&just, sig);
            ::pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
            ::raise(sig);
            ::_exit(128 + sig);  // not reached: the default action ends the process
        },
        64 * 1024);
    // Without the waiting thread the signals would never be seen: keep their default action.
    if (rc != 0) ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int run_serve() {
    ensure_standard_fds();
    end_by_signals();
    vesk::ServeOptions options;
    options.in_fd = 0;
    options.out_fd = guard_protocol_stream();
    options.hang_up_children = vesk::hang_up_children;
    grow_pipe(options.in_fd);
    grow_pipe(options.out_fd);
    vesk::serve(options);
    // Workers and watchers still running are not waited for; exit without running static
    // destructors under their feet.
    ::_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    // First of all: a write to a closed pipe must fail with EPIPE, not end the process.
    ::signal(SIGPIPE, SIG_IGN);

    if (argc > 0 && !vesk::is_valid_utf8(argv[0])) fatal("program name is not valid UTF-8");
    std::string_view command = argc > 1 ? std::string_view(argv[1]) : std::string_view();
    if (argc > 1 && !vesk::is_valid_utf8(command)) fatal("argument is not valid UTF-8");

    if (command == "serve") return run_serve();
    if (command == "--version" || command == "-V") {
        write_text(1, kVersionLine);
        return 0;
    }
    write_text(2, kUsageLine);
    return 2;
}
