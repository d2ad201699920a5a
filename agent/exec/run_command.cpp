#include "agent/exec/run_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <set>
#include <string_view>

#include "agent/exec/capture_limits.h"
#include "common/spawn.h"
#include "common/sys.h"
#include "common/text.h"

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
// The most written to a child's input per call.
constexpr std::size_t kMaxInputWrite = 1 << 20;
constexpr std::uintptr_t kPage = 4096;
constexpr std::size_t kPopulateFrom = 4u << 20;
constexpr std::size_t kPopulateStep = 8u << 20;
// How often a child that closed both outputs but still holds unwritten input is checked for
// having exited. Only reached by children that close stdout and stderr early.
constexpr int kExitCheckMillis = 20;

ChildOutput start_failure(std::string text) {
    ChildOutput out;
    out.stderr_bytes = Bytes(text);
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

// One output pipe being drained into memory.
struct OutputStream {
    unique_fd fd;
    Bytes data;
    std::size_t limit;
    // Which block a previous large transfer left behind growth may take. Standard output takes
    // the largest: when both streams grow large, whichever passed the threshold first would
    // otherwise take it, and a gigabyte of standard output would then fault in fresh pages.
    large_blocks::Pick pick;
    bool enlarged = false;

    bool open() const { return static_cast<bool>(fd); }

    // Fresh memory faulted in one page at a time, from inside read(), costs more than the
    // copy out of the pipe. Asking for the next stretch of a big buffer up front, in one call,
    // costs less per page. Only a hint: older kernels refuse and nothing changes. No huge-page
    // advice: on a virtual machine whose host takes idle memory back, a 2 MiB page is much
    // slower to get than 512 small ones, which made a first large capture several times
    // slower.
    std::size_t populated = 0;  // offset up to which the buffer's pages are present
    const char* populated_block = nullptr;
    void populate_ahead() {
#ifdef MADV_POPULATE_WRITE
        if (data.capacity() < kPopulateFrom) return;
        if (populated_block != data.data()) {
            // A new block (a kept one, or moved by growth): what is present is not known.
            populated_block = data.data();
            populated = 0;
        }
        if (populated > data.size() + kPopulateStep / 8) return;
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
            if (want > data.capacity() && !data.try_reserve(want, pick)) return ENOMEM;
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
        std::size_t n = std::min(data.size() - written, kMaxInputWrite);
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
            // A pipe hung up with nothing left in it is at end of file: no read, and no buffer
            // set up for output that never came (most short runs end this way).
            if (fds[i].revents == POLLHUP) {
                readers[i]->fd.reset();
                continue;
            }
            if (int e = readers[i]->read_some()) return e;
        }
        if (in.open() && fds[count - 1].revents != 0) in.write_some();
    }
    return 0;
}

// Both outputs are closed but input is still pending: keep feeding until it is all written,
// the child stops reading, or the child has ended (its unread input is then dropped).
int finish_feeding(InputStream& in, Child& child) {
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

// Process groups of running children, for the hang-up at end of input.
class ChildGroups {
  public:
    void add(pid_t group) {
        std::lock_guard<std::mutex> lock(mu_);
        groups_.insert(group);
        if (hung_up_) ::kill(-group, SIGHUP);
    }
    void remove(pid_t group) {
        std::lock_guard<std::mutex> lock(mu_);
        groups_.erase(group);
    }
    void hang_up() {
        std::lock_guard<std::mutex> lock(mu_);
        hung_up_ = true;
        for (pid_t group : groups_) ::kill(-group, SIGHUP);
    }

  private:
    std::mutex mu_;
    std::set<pid_t> groups_;
    bool hung_up_ = false;
};

ChildGroups& child_groups() {
    static ChildGroups* groups = new ChildGroups;  // never destroyed: workers outlive exit
    return *groups;
}

// Keeps a child's group registered while run_command drains and reaps it. The group outlives a
// reaped leader while its other members run, so the entry goes only once the run is over. A run
// given up before the leader was reaped (a failed capture) takes the whole group with it: the
// leader's pid cannot be reused before it is reaped, so the group id still names only its own.
struct GroupEntry {
    pid_t group;
    bool reaped = false;
    explicit GroupEntry(pid_t g) : group(g) { child_groups().add(g); }
    ~GroupEntry() {
        if (!reaped) ::kill(-group, SIGKILL);
        child_groups().remove(group);
    }
};

}  // namespace

void hang_up_children() {
    child_groups().hang_up();
}

RunResult run_command(const ChildSpec& desc, Bytes input) {
    return run_command(desc, std::move(input), CaptureLimits{});
}

RunResult run_command(const ChildSpec& desc, Bytes input, const CaptureLimits& limits) {
    if (has_nul(desc)) return start_failure(std::string(kNulInDataText));

    SpawnOptions options;
    options.argv.reserve(desc.args.size() + 1);
    options.argv.push_back(desc.program);
    options.argv.insert(options.argv.end(), desc.args.begin(), desc.args.end());
    options.cwd = desc.cwd;
    for (const auto& [name, value] : desc.env) options.env.emplace_back(name, value);
    const bool feed = !input.empty();
    options.in = feed ? Stdio::pipe : Stdio::null;
    options.own_process_group = true;

    Child child;
    if (int e = spawn_child(options, child)) return start_failure(os_error_text(e));
    GroupEntry group(child.pid());
    if (feed) {
        if (int e = set_nonblocking(child.in.get())) return os_error_text(e);
    }

    OutputStream out{std::move(child.out), Bytes(), limits.max_stdout, large_blocks::Pick::largest};
    OutputStream err{std::move(child.err), Bytes(), limits.max_stderr, large_blocks::Pick::fitting};
    InputStream in{std::move(child.in), std::move(input)};
    if (int fail = capture(out, err, in)) return os_error_text(fail);
    if (int fail = finish_feeding(in, child)) return os_error_text(fail);

    int status = 0;
    if (int fail = child.wait(&status)) return os_error_text(fail);
    group.reaped = true;

    ChildOutput result;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.stderr_bytes = std::move(err.data);
    result.stdout_bytes = std::move(out.data);
    return result;
}

}  // namespace vesk
