#include "common/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

extern char** environ;

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

class SpawnSetup {
  public:
    SpawnSetup() = default;
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (attr_ready_) posix_spawnattr_destroy(&attr_);
        if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    }

    // Every disposition back to its default (an ignored one survives exec) and an empty mask
    // (the mask is inherited from the calling thread). The set is every signal, not just the
    // ignored ones: the C library's child visits every signal either way, and one outside the
    // set costs a query before its reset, so the full set is the cheapest (the benchmark
    // suite's floors spawn, steps sigdef and sigdef-ign, shows about 12 us per start).
    int init(bool own_process_group) {
        if (int err = posix_spawnattr_init(&attr_)) return err;
        attr_ready_ = true;
        if (int err = posix_spawn_file_actions_init(&actions_)) return err;
        actions_ready_ = true;
        sigset_t defaults;
        sigset_t empty;
        sigfillset(&defaults);
        sigemptyset(&empty);
        if (int err = posix_spawnattr_setsigdefault(&attr_, &defaults)) return err;
        if (int err = posix_spawnattr_setsigmask(&attr_, &empty)) return err;
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (own_process_group) {
            flags |= POSIX_SPAWN_SETPGROUP;
            if (int err = posix_spawnattr_setpgroup(&attr_, 0)) return err;
        }
        return posix_spawnattr_setflags(&attr_, flags);
    }

    // Descriptor target of the child: a pipe end, /dev/null, or left as ours.
    int stdio(Stdio kind, int target, const unique_fd& child_end) {
        switch (kind) {
            case Stdio::pipe:
                return posix_spawn_file_actions_adddup2(&actions_, child_end.get(), target);
            case Stdio::null:
                return posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                                        target == 0 ? O_RDONLY : O_WRONLY, 0);
            case Stdio::inherit:
                return 0;
        }
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

pid_t Child::release() {
    return std::exchange(pid_, -1);
}

int spawn_child(const SpawnOptions& options, Child& child) {
    if (options.argv.empty()) return EINVAL;
    // Our ends go to the Child; the child's ends are closed here once it has started, or
    // end of file would never come.
    unique_fd ours[3];
    unique_fd theirs[3];
    const Stdio kinds[3] = {options.in, options.out, options.err};
    for (int i = 0; i < 3; ++i) {
        if (kinds[i] != Stdio::pipe) continue;
        int e = i == 0 ? make_pipe(theirs[0], ours[0]) : make_pipe(ours[i], theirs[i]);
        if (e) return e;
    }

    SpawnSetup setup;
    if (int e = setup.init(options.own_process_group)) return e;
    posix_spawn_file_actions_t* actions = setup.actions();
    // The directory changes before the program is looked up, so "./tool" means cwd's tool.
    int e = options.cwd ? posix_spawn_file_actions_addchdir_np(actions, options.cwd->c_str()) : 0;
    for (int i = 0; i < 3 && e == 0; ++i) e = setup.stdio(kinds[i], i, theirs[i]);
    // Ours are all close-on-exec, but we may have inherited others from whoever started us;
    // none of them is the child's business.
    if (e == 0) e = posix_spawn_file_actions_addclosefrom_np(actions, 3);
    if (e != 0) return e;

    std::vector<char*> argv;
    argv.reserve(options.argv.size() + 1);
    for (const auto& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ChildEnvironment env(options.env);

    pid_t pid = -1;
    // The C library reports a failed exec (not found, not executable, bad directory) through
    // this return value, so every start failure is known here.
    e = posix_spawnp(&pid, argv[0], actions, setup.attributes(), argv.data(), env.envp());
    if (e != 0) return e;
    child = Child();
    child.pid_ = pid;
    child.in = std::move(ours[0]);
    child.out = std::move(ours[1]);
    child.err = std::move(ours[2]);
    return 0;
}

}  // namespace vesk
