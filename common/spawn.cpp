#include "common/spawn.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>

extern char** environ;
// The C library's own entry to clone. Sanitizers wrap clone() as a fork and run their own
// bookkeeping in the child, which, sharing our memory, would corrupt the parent's.
extern "C" int __clone(int (*fn)(void*), void* stack, int flags, void* arg, ...);

namespace vesk {
namespace {

std::string_view entry_name(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

// The inherited environment with the delta applied, as a fresh envp. Nobody in this project
// changes its own environment while threads run, so environ can be read from any thread.
class ChildEnvironment {
  public:
    using Delta = std::vector<std::pair<std::string, std::optional<std::string>>>;

    explicit ChildEnvironment(const Delta& delta) {
        if (delta.empty()) return;
        std::vector<std::pair<std::string_view, const std::optional<std::string>*>> final_values;
        for (const auto& setting : delta) {
            auto same = std::find_if(final_values.begin(), final_values.end(),
                                     [&](const auto& s) { return s.first == setting.first; });
            if (same != final_values.end())
                same->second = &setting.second;
            else
                final_values.emplace_back(setting.first, &setting.second);
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
            if (!*value) continue;
            storage_.push_back(std::string(name).append(1, '=').append(**value));
        }
        for (auto& entry : storage_) pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
    }

    char* const* envp() const { return pointers_.empty() ? environ : pointers_.data(); }

    // The child's PATH (nothing when it has none), which its program is searched on.
    const char* path() const {
        for (char* const* entry = envp(); *entry; ++entry) {
            if (std::string_view(*entry).starts_with("PATH=")) return *entry + 5;
        }
        return nullptr;
    }

  private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

// Keeps a descriptor away from 0, 1 and 2: the child's dup2 onto those numbers must not clobber
// another of its pipe ends if we ever run with a standard stream closed.
int lift_above_stdio(unique_fd& fd) {
    if (fd.get() > 2) return 0;
    int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (lifted < 0) return errno;
    fd.reset(lifted);
    return 0;
}

int make_pipe(unique_fd& read_end, unique_fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    if (int err = lift_above_stdio(read_end)) return err;
    return lift_above_stdio(write_end);
}

// Everything the child needs, prepared before it starts: between its start and its exec the
// child runs on our memory, so it may only read this, write `error`, and make system calls.
struct ChildPlan {
    const char* const* candidates = nullptr;  // the program paths to try, in order
    std::size_t candidate_count = 0;
    int search_error = ENOENT;  // reported when there is no candidate to try
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* cwd = nullptr;
    int stdio[3] = {-1, -1, -1};  // a descriptor to put there, kNull or kInherit
    bool own_group = false;
    volatile int error = 0;  // the failed step's errno value, written by the child
};
constexpr int kNull = -1;
constexpr int kInherit = -2;

// Room for the child's few frames. It lives in the frame of the thread that starts the child
// (a kept worker stack, already faulted in), which is suspended until the child has exec'd or
// exited, so nothing else can be using it.
constexpr std::size_t kChildStackSize = 16 * 1024;

// The paths the child tries, in order, as the C library's PATH search does: a name with a slash
// as it is, else every PATH directory in turn (an empty entry meaning the working directory,
// no PATH meaning /bin:/usr/bin). text holds their storage; none_error is what the child
// reports when there is nothing to try.
std::vector<const char*> search_candidates(const std::string& program, const char* path,
                                           std::vector<std::string>& text, int& none_error) {
    std::vector<const char*> candidates;
    if (program.find('/') != std::string::npos) {
        candidates.push_back(program.c_str());
        return candidates;
    }
    if (program.empty()) return candidates;
    if (program.size() > NAME_MAX) {
        none_error = ENAMETOOLONG;
        return candidates;
    }
    std::string_view dirs = path ? path : "/bin:/usr/bin";
    for (std::size_t at = 0;;) {
        std::size_t colon = std::min(dirs.find(':', at), dirs.size());
        std::string_view dir = dirs.substr(at, colon - at);
        if (dir.size() < PATH_MAX) {
            std::string& candidate = text.emplace_back(dir);
            if (!dir.empty()) candidate.push_back('/');
            candidate.append(program);
        }
        if (colon == dirs.size()) break;
        at = colon + 1;
    }
    for (const std::string& candidate : text) candidates.push_back(candidate.c_str());
    return candidates;
}

// System calls by number, so that the child never enters a C library function that could take
// a lock, touch another thread's state or be intercepted by a sanitizer; the errno value it
// sets is the starting thread's own, which is suspended meanwhile.
#define VESK_CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

VESK_CHILD_CODE inline int child_call(long result) {
    return result < 0 ? errno : 0;
}

// Failures after which the search tries the next directory: the file is not there, or not ours.
VESK_CHILD_CODE inline bool search_goes_on(int e) {
    return e == EACCES || e == ENOENT || e == ESTALE || e == ENOTDIR || e == ENODEV ||
           e == ETIMEDOUT;
}

// The child, from its start to its exec: async-signal-safe system calls only, on its own
// stack, reading the plan and writing nothing of ours but plan.error. Every signal is blocked
// on entry (the parent blocked them all before the start), so no handler of ours can run here.
VESK_CHILD_CODE int child_main(void* arg) {
    ChildPlan& plan = *static_cast<ChildPlan*>(arg);
    int e = 0;
    // Every disposition to its default: an ignored one would survive the exec, and a handler
    // must not run in this child before it. The C library's own two signals included.
    unsigned long dfl[4] = {0, 0, 0, 0};  // a kernel sigaction with SIG_DFL, no flags
    for (long sig = 1; sig < 65; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::syscall(SYS_rt_sigaction, sig, dfl, nullptr, 8);
    }
    if (plan.own_group) e = child_call(::syscall(SYS_setpgid, 0, 0));
    // The directory changes before the program is looked up, so "./tool" means cwd's tool.
    if (e == 0 && plan.cwd) e = child_call(::syscall(SYS_chdir, plan.cwd));
    for (long target = 0; target < 3 && e == 0; ++target) {
        long from = plan.stdio[target];
        if (from == kInherit) continue;
        if (from == kNull) {
            from = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
            if (from < 0) {
                e = errno;
                break;
            }
            if (from == target) continue;
            e = child_call(::syscall(SYS_dup3, from, target, 0));
            ::syscall(SYS_close, from);
        } else {
            e = child_call(::syscall(SYS_dup3, from, target, 0));
        }
    }
    // Ours are all close-on-exec, but we may have inherited others from whoever started us;
    // none of them is the child's business. Without close_range (an older kernel), one close
    // per possible descriptor.
    if (e == 0 && ::syscall(SYS_close_range, 3, ~0u, 0) != 0) {
        struct rlimit files {};
        ::syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &files);
        for (rlim_t fd = 3; fd < files.rlim_cur && fd < (1u << 20); ++fd) ::syscall(SYS_close, fd);
    }
    if (e == 0) {
        std::uint64_t empty = 0;
        e = child_call(::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, 8));
    }
    if (e == 0) {
        e = plan.search_error;
        bool denied = false;
        for (std::size_t i = 0; i < plan.candidate_count && search_goes_on(e); ++i) {
            ::syscall(SYS_execve, plan.candidates[i], plan.argv, plan.envp);
            e = errno;
            denied = denied || e == EACCES;
        }
        // A program found but not executable says so, rather than the last directory's miss.
        if (denied && search_goes_on(e)) e = EACCES;
    }
    plan.error = e;
    ::syscall(SYS_exit, 127);
    return 127;
}

// Starts the child as the C library's own spawn does (sharing our memory, and suspending this
// thread until the child has exec'd or failed), but on this thread's stack, so no fresh stack is
// mapped, faulted in and unmapped for every start. The pid, or -1 with errno set.
pid_t start_child(ChildPlan& plan) {
    alignas(64) char stack[kChildStackSize];
    // Every signal blocked, the C library's own included (hence the bare system call), so none
    // is handled in the child; the child sets its own mask before its exec.
    std::uint64_t all = ~std::uint64_t{0};
    std::uint64_t before = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &before, 8);
    pid_t pid =
        ::__clone(child_main, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    int clone_error = errno;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, 8);
    errno = clone_error;
    return pid;
}

}  // namespace

Child::Child(Child&& o) noexcept
    : in(std::move(o.in)),
      out(std::move(o.out)),
      err(std::move(o.err)),
      pid_(std::exchange(o.pid_, -1)),
      status_(o.status_),
      reaped_(o.reaped_) {}

Child& Child::operator=(Child&& o) noexcept {
    if (this != &o) {
        Child replaced(std::move(*this));  // killed and reaped here if still running
        in = std::move(o.in);
        out = std::move(o.out);
        err = std::move(o.err);
        pid_ = std::exchange(o.pid_, -1);
        status_ = o.status_;
        reaped_ = o.reaped_;
    }
    return *this;
}

Child::~Child() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    int status;
    wait(&status);
}

int Child::wait(int* status) {
    if (!reaped_) {
        while (::waitpid(pid_, &status_, 0) < 0) {
            if (errno != EINTR) return errno;
        }
        reaped_ = true;
    }
    *status = status_;
    return 0;
}

int Child::poll_exit() {
    if (reaped_) return 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status_, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    if (r == pid_) reaped_ = true;
    return 0;
}

int spawn_child(const SpawnOptions& options, Child& child) {
    if (options.argv.empty()) return EINVAL;
    // Our ends go to the Child; the child's ends are closed here once it has started, or
    // end of file would never come.
    unique_fd ours[3];
    unique_fd theirs[3];
    const Stdio kinds[3] = {options.in, options.out, options.err};
    ChildPlan plan;
    for (int i = 0; i < 3; ++i) {
        plan.stdio[i] = kinds[i] == Stdio::null ? kNull : kInherit;
        if (kinds[i] != Stdio::pipe) continue;
        int e = i == 0 ? make_pipe(theirs[0], ours[0]) : make_pipe(ours[i], theirs[i]);
        if (e) return e;
        plan.stdio[i] = theirs[i].get();
    }

    std::vector<char*> argv;
    argv.reserve(options.argv.size() + 1);
    for (const auto& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ChildEnvironment env(options.env);
    std::vector<std::string> candidate_text;
    const std::vector<const char*> candidates =
        search_candidates(options.argv[0], env.path(), candidate_text, plan.search_error);
    plan.candidates = candidates.data();
    plan.candidate_count = candidates.size();
    plan.argv = argv.data();
    plan.envp = env.envp();
    plan.cwd = options.cwd ? options.cwd->c_str() : nullptr;
    plan.own_group = options.own_process_group;

    pid_t pid = start_child(plan);
    if (pid < 0) return errno;
    if (int e = plan.error) {
        // The child reported its failure and exited: reaped here, it was never started.
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return e;
    }
    child = Child();
    child.pid_ = pid;
    child.in = std::move(ours[0]);
    child.out = std::move(ours[1]);
    child.err = std::move(ours[2]);
    return 0;
}

}  // namespace vesk
