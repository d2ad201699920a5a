#include "agent/exec/run_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "agent/exec/capture_limits.h"
#include "agent/sys.h"
#include "agent/text.h"

extern char** environ;

namespace vesk {
namespace {

constexpr std::string_view kNulInDataText = "nul byte found in provided data";

// Capture buffers start with this much room and double, so a gigabyte of output costs a few
// dozen reallocs (large blocks are remapped, not copied) and every read can be large.
constexpr std::size_t kFirstReadRoom = 64 * 1024;
constexpr std::size_t kMinReadRoom = 16 * 1024;
// A stream that has produced this much is likely to produce a lot more: its pipe is enlarged
// then, so the child and the agent hand over bigger chunks. Small runs keep the default pipe
// and pay no extra system call or kernel memory.
constexpr std::size_t kEnlargePipeAfter = 256 * 1024;
constexpr int kLargePipeSize = 1 << 20;
constexpr std::size_t kMaxWriteChunk = 1 << 20;
constexpr std::uintptr_t kPage = 4096;
constexpr std::size_t kPopulateFrom = 4u << 20;
constexpr std::size_t kPopulateStep = 8u << 20;
// How often a child that closed both outputs but still holds unwritten input is checked for
// having exited. Only reached by children that close stdout and stderr early.
constexpr int kExitCheckMillis = 20;

CommandOutput start_failure(std::string text) {
    CommandOutput out;
    out.stderr_text = std::move(text);
    out.code = -1;
    out.started = false;
    return out;
}

bool has_nul(const ChildSpec& desc) {
    if (contains_nul(desc.program)) return true;
    if (desc.cwd && contains_nul(*desc.cwd)) return true;
    for (const auto& arg : desc.args) {
        if (contains_nul(arg)) return true;
    }
    for (const auto& [name, value] : desc.env) {
        if (contains_nul(name) || contains_nul(value)) return true;
    }
    return false;
}

std::string_view entry_name(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

// The inherited environment with the description's settings applied, as a fresh envp. The agent
// never changes its own environment, so environ can be read from any thread.
class ChildEnvironment {
  public:
    explicit ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& settings) {
        if (settings.empty()) return;
        std::vector<std::pair<std::string_view, std::string_view>> final_values;
        for (const auto& setting : settings) {
            auto same = std::find_if(final_values.begin(), final_values.end(),
                                     [&](const auto& s) { return s.first == setting.first; });
            if (same != final_values.end())
                same->second = setting.second;
            else
                final_values.emplace_back(setting.first, setting.second);
        }
        auto overridden = [&](std::string_view name) {
            return std::any_of(final_values.begin(), final_values.end(),
                               [&](const auto& s) { return s.first == name; });
        };
        for (char** entry = environ; entry && *entry; ++entry) {
            if (!overridden(entry_name(*entry))) pointers_.push_back(*entry);
        }
        storage_.reserve(final_values.size());
        for (const auto& [name, value] : final_values) {
            std::string entry;
            entry.reserve(name.size() + 1 + value.size());
            entry.append(name).append(1, '=').append(value);
            storage_.push_back(std::move(entry));
        }
        for (auto& entry : storage_) pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
    }

    char* const* envp() const { return pointers_.empty() ? environ : pointers_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

struct Pipe {
    unique_fd read;
    unique_fd write;
};

// Keeps a descriptor away from 0, 1 and 2: the child's dup2 onto those numbers must not clobber
// another of its pipe ends if the agent ever runs with a standard stream closed.
int lift_above_stdio(unique_fd& fd) {
    if (fd.get() > 2) return 0;
    int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (lifted < 0) return errno;
    fd.reset(lifted);
    return 0;
}

int make_pipe(Pipe& p) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    p.read.reset(fds[0]);
    p.write.reset(fds[1]);
    if (int err = lift_above_stdio(p.read)) return err;
    return lift_above_stdio(p.write);
}

class SpawnSetup {
  public:
    SpawnSetup() = default;
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (attr_ready_) posix_spawnattr_destroy(&attr_);
        if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    }

    // Resets every signal disposition the agent may have changed (SIGPIPE is ignored, and an
    // ignored disposition survives exec) and clears the mask inherited from this thread.
    int init_attributes() {
        if (int err = posix_spawnattr_init(&attr_)) return err;
        attr_ready_ = true;
        sigset_t defaults;
        sigset_t empty;
        sigfillset(&defaults);
        sigemptyset(&empty);
        if (int err = posix_spawnattr_setsigdefault(&attr_, &defaults)) return err;
        if (int err = posix_spawnattr_setsigmask(&attr_, &empty)) return err;
        return posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }

    int init_actions() {
        if (int err = posix_spawn_file_actions_init(&actions_)) return err;
        actions_ready_ = true;
        return 0;
    }

    posix_spawnattr_t* attributes() { return &attr_; }
    posix_spawn_file_actions_t* actions() { return &actions_; }

  private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
    bool attr_ready_ = false;
    bool actions_ready_ = false;
};

// A started child. Until it has been reaped, destruction kills and reaps it, so no early return
// can leave a child running unseen or a zombie behind.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (reaped_) return;
        ::kill(pid_, SIGKILL);
        int status;
        wait(&status);
    }

    // Blocks until the child has ended. Returns 0 or the errno value.
    int wait(int* status) {
        if (reaped_) {
            *status = status_;
            return 0;
        }
        while (::waitpid(pid_, &status_, 0) < 0) {
            if (errno != EINTR) return errno;
        }
        reaped_ = true;
        *status = status_;
        return 0;
    }

    // Reaps the child if it has ended. Returns 0 (check ended()) or the errno value.
    int poll_exit() {
        if (reaped_) return 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status_, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return errno;
        if (r == pid_) reaped_ = true;
        return 0;
    }

    bool ended() const { return reaped_; }

  private:
    pid_t pid_;
    int status_ = 0;
    bool reaped_ = false;
};

// One output pipe being drained into memory.
struct OutputStream {
    unique_fd fd;
    Bytes data;
    std::size_t limit;
    // Whether growth may take the block a previous large transfer left behind. Only standard
    // output does: when both streams grow large, whichever passed the threshold first would
    // otherwise take it, and a gigabyte of standard output would then fault in fresh pages.
    bool reuse_kept;
    bool enlarged = false;

    bool open() const { return static_cast<bool>(fd); }

    // Fresh memory faulted in one page at a time, from inside read(), costs more than the
    // copy out of the pipe. Asking for the next stretch of a big buffer up front, in one call,
    // halves the time to take in a gigabyte. Only a hint: older kernels refuse and nothing
    // changes.
    std::size_t populated = 0;  // offset up to which the buffer's pages are present
    void populate_ahead() {
#ifdef MADV_POPULATE_WRITE
        if (data.capacity() < kPopulateFrom || populated > data.size() + kPopulateStep / 8) return;
        auto base = reinterpret_cast<std::uintptr_t>(data.data());
        std::uintptr_t from = (base + std::max(populated, data.size()) + kPage - 1) & ~(kPage - 1);
        std::uintptr_t to = std::min(base + data.capacity(), from + kPopulateStep) & ~(kPage - 1);
        if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
        populated = to - base;
#endif
    }

    // Reads what the pipe holds straight into the buffer's spare room. Returns 0 (the stream
    // is closed at end of file), or an errno value; EMSGSIZE once the limit is passed.
    int read_some() {
        std::size_t room = data.capacity() - data.size();
        if (room < kMinReadRoom) {
            std::size_t ceiling = limit == SIZE_MAX ? limit : limit + 1;
            std::size_t want = std::max(data.capacity() * 2, data.size() + kFirstReadRoom);
            want = std::min(want, ceiling);
            if (want > data.capacity() && !data.try_reserve(want, reuse_kept)) return ENOMEM;
            room = data.capacity() - data.size();
        }
        populate_ahead();
        ssize_t r = ::read(fd.get(), data.data() + data.size(), room);
        if (r < 0) return errno == EINTR || errno == EAGAIN ? 0 : errno;
        if (r == 0) {
            fd.reset();
            return 0;
        }
        data.resize_uninitialized(data.size() + static_cast<std::size_t>(r));
        if (data.size() > limit) return EMSGSIZE;
        if (!enlarged && data.size() > kEnlargePipeAfter) {
            enlarged = true;
            ::fcntl(fd.get(), F_SETPIPE_SZ, kLargePipeSize);  // a smaller pipe still works
        }
        return 0;
    }
};

// The child's input, written from the capture loop whenever its pipe has room.
struct InputStream {
    unique_fd fd;
    Bytes data;
    std::size_t written = 0;

    bool open() const { return static_cast<bool>(fd); }

    // Any write failure (typically EPIPE: the child is gone or closed its input) ends feeding;
    // the unwritten rest is dropped, as the child would never read it.
    void write_some() {
        std::size_t n = std::min(data.size() - written, kMaxWriteChunk);
        ssize_t w = ::write(fd.get(), data.data() + written, n);
        if (w < 0) {
            if (errno != EINTR && errno != EAGAIN) finish();
            return;
        }
        written += static_cast<std::size_t>(w);
        if (written == data.size()) finish();
    }

    void finish() {
        fd.reset();
        data.release();
    }
};

// Drains stdout and stderr to end of file while feeding stdin, all from one poll loop, so no
// pipe can stall another and no helper thread is needed. Returns 0 or an errno value.
int capture(OutputStream& out, OutputStream& err, InputStream& in) {
    while (out.open() || err.open()) {
        pollfd fds[3];
        nfds_t count = 0;
        OutputStream* readers[2];
        nfds_t reader_count = 0;
        for (OutputStream* s : {&out, &err}) {
            if (!s->open()) continue;
            fds[count++] = pollfd{s->fd.get(), POLLIN, 0};
            readers[reader_count++] = s;
        }
        if (in.open()) fds[count++] = pollfd{in.fd.get(), POLLOUT, 0};
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (nfds_t i = 0; i < reader_count; ++i) {
            if (fds[i].revents == 0) continue;
            if (int e = readers[i]->read_some()) return e;
        }
        if (in.open() && fds[count - 1].revents != 0) in.write_some();
    }
    return 0;
}

// Both outputs are closed but input is still pending: keep feeding until it is all written,
// the child stops reading, or the child has ended (its unread input is then dropped).
int finish_feeding(InputStream& in, ChildProcess& child) {
    while (in.open()) {
        if (int e = child.poll_exit()) return e;
        if (child.ended()) break;
        pollfd fd{in.fd.get(), POLLOUT, 0};
        int n = ::poll(&fd, 1, kExitCheckMillis);
        if (n < 0 && errno != EINTR) return errno;
        if (n > 0) in.write_some();
    }
    in.finish();
    return 0;
}

int set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    return 0;
}

}  // namespace

CommandResult run_command(const ChildSpec& desc, Bytes input) {
    return run_command(desc, std::move(input), CaptureLimits{});
}

CommandResult run_command(const ChildSpec& desc, Bytes input, const CaptureLimits& limits) {
    if (has_nul(desc)) return start_failure(std::string(kNulInDataText));

    Pipe in_pipe;
    Pipe out_pipe;
    Pipe err_pipe;
    const bool feed = !input.empty();
    if (feed) {
        if (int e = make_pipe(in_pipe)) return start_failure(os_error_text(e));
        if (int e = set_nonblocking(in_pipe.write.get())) return start_failure(os_error_text(e));
    }
    if (int e = make_pipe(out_pipe)) return start_failure(os_error_text(e));
    if (int e = make_pipe(err_pipe)) return start_failure(os_error_text(e));

    SpawnSetup setup;
    if (int e = setup.init_attributes()) return start_failure(os_error_text(e));
    if (int e = setup.init_actions()) return start_failure(os_error_text(e));
    posix_spawn_file_actions_t* actions = setup.actions();
    // The directory changes before the program is looked up, so "./tool" means cwd's tool.
    int e = desc.cwd ? posix_spawn_file_actions_addchdir_np(actions, desc.cwd->c_str()) : 0;
    if (e == 0) {
        e = feed ? posix_spawn_file_actions_adddup2(actions, in_pipe.read.get(), 0)
                 : posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (e == 0) e = posix_spawn_file_actions_adddup2(actions, out_pipe.write.get(), 1);
    if (e == 0) e = posix_spawn_file_actions_adddup2(actions, err_pipe.write.get(), 2);
    // Our own descriptors are all close-on-exec, but the agent may have inherited others from
    // whoever started it; none of them is the child's business.
    if (e == 0) e = posix_spawn_file_actions_addclosefrom_np(actions, 3);
    if (e != 0) return start_failure(os_error_text(e));

    std::vector<char*> argv;
    argv.reserve(desc.args.size() + 2);
    argv.push_back(const_cast<char*>(desc.program.c_str()));
    for (const auto& arg : desc.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ChildEnvironment env(desc.env);

    pid_t pid = -1;
    // The C library reports a failed exec (not found, not executable, bad directory) through
    // this return value, so every start failure is known here.
    e = posix_spawnp(&pid, desc.program.c_str(), actions, setup.attributes(), argv.data(),
                     env.envp());
    if (e != 0) return start_failure(os_error_text(e));
    ChildProcess child(pid);

    // Our copies of the child's ends must go, or end of file would never come.
    in_pipe.read.reset();
    out_pipe.write.reset();
    err_pipe.write.reset();

    OutputStream out{std::move(out_pipe.read), Bytes(), limits.max_stdout, true};
    OutputStream err{std::move(err_pipe.read), Bytes(), limits.max_stderr, false};
    InputStream in{std::move(in_pipe.write), std::move(input)};
    if (int fail = capture(out, err, in)) return os_error_text(fail);
    if (int fail = finish_feeding(in, child)) return os_error_text(fail);

    int status = 0;
    if (int fail = child.wait(&status)) return os_error_text(fail);

    CommandOutput result;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.stderr_text = utf8_lossy(err.data.view());
    result.stdout_bytes = std::move(out.data);
    return result;
}

HandlerOutcome command_reply(CommandResult result) {
    if (auto* text = std::get_if<std::string>(&result)) return failure(std::move(*text));
    auto& out = std::get<CommandOutput>(result);
    nlohmann::json data = {{"code", out.code}, {"stderr", std::move(out.stderr_text)}};
    return success(std::move(data), std::move(out.stdout_bytes));
}

}  // namespace vesk
