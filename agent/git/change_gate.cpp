#include "agent/git/change_gate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <variant>

#include "agent/git/git_child.h"
#include "agent/params.h"

namespace vesk {
namespace {

// Everything that changes a directory's entries or a file in it. Opening and reading are left
// out: the status command itself does those, and must not wake its own gate.
constexpr std::uint32_t kDirEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB |
                                     IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DONT_FOLLOW;

// File systems whose files can change without this kernel seeing it: network and cluster file
// systems, and FUSE, whose daemon may serve anything.
bool changes_elsewhere(int fd) {
    struct statfs sf;
    if (::fstatfs(fd, &sf) != 0) return true;
    switch (static_cast<std::uint32_t>(sf.f_type)) {
        case 0x6969:      // NFS
        case 0x517b:      // SMB
        case 0xfe534d42:  // SMB2
        case 0xff534d42:  // CIFS
        case 0x564c:      // NCP
        case 0x65735546:  // FUSE (and virtiofs)
        case 0x00c36400:  // Ceph
        case 0x5346414f:  // AFS
        case 0x6b414653:  // kAFS
        case 0x73757245:  // Coda
        case 0x01021997:  // 9P
        case 0x01161970:  // GFS2
        case 0x7461636f:  // OCFS2
        case 0x47504653:  // GPFS
        case 0x0bd00bd0:  // Lustre
        case 0x19920929:  // OrangeFS
        case 0x786f4256:  // VirtualBox shared folders
            return true;
        default:
            return false;
    }
}

// How many watches one gate may hold: a share of the per-user limit, so that one big tree
// cannot starve every other watcher on the host.
std::size_t watch_budget() {
    double share = kDefaultWatchShare;
    if (const char* text = std::getenv("VESK_WATCH_SHARE"); text && *text) {
        char* end = nullptr;
        double v = std::strtod(text, &end);
        if (*end == '\0' && v >= 0 && v <= 1) share = v;
    }
    double limit = 8192;  // the kernel's historical default, when /proc cannot tell
    char text[32] = {};
    if (unique_fd fd(::open("/proc/sys/fs/inotify/max_user_watches", O_RDONLY | O_CLOEXEC)); fd) {
        if (::read(fd.get(), text, sizeof text - 1) > 0) limit = std::strtod(text, nullptr);
    }
    return static_cast<std::size_t>(limit * share);
}

std::string_view take_field(std::string_view& rest) {
    std::size_t end = rest.find('\0');
    std::string_view field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return field;
}

std::string dir_of(const std::string& file) {
    std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

}  // namespace

bool ChangeGate::Stamp::operator==(const Stamp& o) const {
    return err == o.err && dev == o.dev && ino == o.ino && mode == o.mode && nlink == o.nlink &&
           size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

std::unique_ptr<ChangeGate> ChangeGate::arm(const RepoLocation& loc) {
    if (loc.git_dirs.empty()) return nullptr;
    std::size_t budget = watch_budget();
    if (budget == 0) return nullptr;
    // The status command lists the whole working tree, wherever below its top it runs.
    RunResult result = run_command(git_child(loc.workdir, {"rev-parse", "--show-toplevel"}));
    auto* out = std::get_if<ChildOutput>(&result);
    if (!out || out->code != 0) return nullptr;
    std::string top(out->stdout_bytes.view());
    if (top.ends_with('\n')) top.pop_back();
    if (top.empty() || contains_nul(top)) return nullptr;

    std::unique_ptr<ChangeGate> gate(new ChangeGate);
    gate->loc_ = loc;
    gate->top_ = std::move(top);
    gate->budget_ = budget;
    if (!gate->build()) return nullptr;
    return gate;
}

bool ChangeGate::build() {
    watches_.clear();
    local_devs_.clear();
    // Closing the old instance (after an overflow) drops all of its watches at once.
    fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd_) return false;
    if (!walk(top_, false, true)) return false;
    for (auto dir = loc_.git_dirs.begin(); dir != loc_.git_dirs.end(); ++dir) {
        // An ordinary repository names its git directory twice.
        if (std::find(loc_.git_dirs.begin(), dir, *dir) == dir && !walk(*dir, true, true))
            return false;
    }
    read_outside_files();
    stamps_ = stamp_outside_files();
    return true;
}

int ChangeGate::add(const std::string& path, bool git, bool file, bool root) {
    std::uint32_t mask = file ? kFileEvents : kDirEvents | (root ? 0 : IN_DONT_FOLLOW);
    int wd = ::inotify_add_watch(fd_.get(), path.c_str(), mask);
    if (wd < 0) return !root && (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    // The same inode reached again (a directory moved within the tree) keeps its descriptor;
    // its entry takes the new path.
    watches_[wd] = Dir{path, git, file};
    return watches_.size() <= budget_ ? 1 : -1;
}

bool ChangeGate::walk(const std::string& root, bool git, bool is_root) {
    std::vector<Dir> todo{{root, git, false}};
    bool first = is_root;
    while (!todo.empty()) {
        Dir d = std::move(todo.back());
        todo.pop_back();
        bool strict = std::exchange(first, false);
        // The watch comes before the listing: an entry made after the listing is an event.
        int added = add(d.path, d.git, false, strict);
        if (added < 0) return false;
        if (added == 0) continue;  // gone again; its parent's watch has seen that
        unique_fd fd(
            ::open(d.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (strict ? 0 : O_NOFOLLOW)));
        if (!fd) {
            if (!strict && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)) continue;
            return false;
        }
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) return false;
        if (std::find(local_devs_.begin(), local_devs_.end(), st.st_dev) == local_devs_.end()) {
            if (changes_elsewhere(fd.get())) return false;
            local_devs_.push_back(st.st_dev);
        }
        DIR* dir = ::fdopendir(fd.get());
        if (!dir) return false;
        fd.release();
        std::vector<std::string> subdirs;
        bool has_head = false;
        while (dirent* e = ::readdir(dir)) {
            std::string_view name = e->d_name;
            if (name == "." || name == "..") continue;
            has_head = has_head || name == "HEAD";
            bool is_dir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN) {
                struct stat cs;
                is_dir = ::fstatat(::dirfd(dir), e->d_name, &cs, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISDIR(cs.st_mode);
            }
            if (is_dir) subdirs.emplace_back(name);
        }
        ::closedir(dir);
        for (std::string& name : subdirs) {
            // An object store only grows by content-addressed files: nothing the status
            // listing shows changes until a ref or the index does.
            if (d.git && has_head && name == "objects") continue;
            bool sub_git = d.git || name == ".git";
            todo.push_back({join_path(d.path, name), sub_git, false});
        }
    }
    return true;
}

void ChangeGate::watch_linked_files() {
    std::vector<std::string> dirs;
    for (const auto& [wd, d] : watches_) {
        if (!d.file && !d.git) dirs.push_back(d.path);
    }
    for (const std::string& path : dirs) {
        unique_fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        DIR* dir = fd ? ::fdopendir(fd.get()) : nullptr;
        if (!dir) continue;
        fd.release();
        while (dirent* e = ::readdir(dir)) {
            if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
            struct stat st;
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode) || st.st_nlink < 2)
                continue;
            if (add(join_path(path, e->d_name), false, true, false) < 0) lost_ = true;
        }
        ::closedir(dir);
    }
}

void ChangeGate::read_outside_files() {
    outside_ = {top_, loc_.workdir};
    std::string home = home_dir();
    std::string config_home;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config_home = join_path(xdg, "git");
    else if (!home.empty())
        config_home = join_path(home, ".config/git");
    if (!config_home.empty()) {
        for (const char* name : {"config", "ignore", "attributes"})
            outside_.push_back(join_path(config_home, name));
    }
    if (!home.empty()) outside_.push_back(join_path(home, ".gitconfig"));
    outside_.emplace_back("/etc/gitconfig");
    outside_.emplace_back("/etc/gitattributes");
    for (const char* var : {"GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM"}) {
        if (const char* p = std::getenv(var); p && *p)
            outside_.push_back(join_path(loc_.workdir, p));
    }

    // Every file the configuration was read from, and those it names but that do not exist
    // (yet): an include, the excludes file, the attributes file.
    RunResult result =
        run_command(git_child(loc_.workdir, {"config", "-z", "--show-origin", "--list"}));
    auto* out = std::get_if<ChildOutput>(&result);
    if (!out || !out->started) return;
    std::string_view rest = out->stdout_bytes.view();
    while (!rest.empty()) {
        std::string_view origin = take_field(rest);
        std::string_view entry = take_field(rest);
        std::string file;
        if (origin.starts_with("file:")) {
            file = join_path(loc_.workdir, origin.substr(5));
            outside_.push_back(file);
        }
        std::size_t nl = entry.find('\n');
        std::string_view key = entry.substr(0, nl);
        std::string value =
            expand_home(nl == std::string_view::npos ? std::string_view() : entry.substr(nl + 1));
        if (value.empty()) continue;
        if (key == "core.excludesfile" || key == "core.attributesfile")
            outside_.push_back(join_path(loc_.workdir, value));
        else if ((key.starts_with("include.") || key.starts_with("includeif.")) &&
                 key.ends_with(".path"))
            outside_.push_back(join_path(dir_of(file), value));
    }
}

std::vector<ChangeGate::Stamp> ChangeGate::stamp_outside_files() const {
    std::vector<Stamp> stamps(outside_.size());
    for (std::size_t i = 0; i < outside_.size(); ++i) {
        struct stat st;
        Stamp& s = stamps[i];
        if (::stat(outside_[i].c_str(), &st) != 0) {
            s.err = errno;
            continue;
        }
        s = {0, st.st_dev, st.st_ino, st.st_mode, st.st_nlink, st.st_size, st.st_mtim, st.st_ctim};
        // Of the tree's top only the identity: what happens in it is the inotify watch's.
        if (S_ISDIR(st.st_mode)) s.nlink = 0, s.size = 0, s.mtime = s.ctime = {};
    }
    return stamps;
}

ChangeGate::Verdict ChangeGate::poll() {
    if (lost_) return Verdict::lost;
    bool changed = false;
    bool overflow = false;
    std::vector<Dir> fresh;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd_.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) return Verdict::lost;
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            changed = true;
            if (ev->mask & IN_Q_OVERFLOW) overflow = true;
            auto it = watches_.find(ev->wd);
            if (it == watches_.end()) continue;
            if (ev->mask & IN_IGNORED) {
                watches_.erase(it);
            } else if ((ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO))) {
                // A directory made or moved in: everything in it may be new to the listing,
                // and nothing in it is watched yet.
                std::string_view name = ev->name;
                fresh.push_back(
                    {join_path(it->second.path, name), it->second.git || name == ".git", false});
            }
        }
    }
    if (overflow) {
        // Events were lost, new directories among them perhaps: start over.
        if (!build()) return Verdict::lost;
        watch_linked_files();
    } else {
        for (const Dir& d : fresh) {
            if (!walk(d.path, d.git, false)) return Verdict::lost;
        }
    }
    if (lost_) return Verdict::lost;
    std::vector<Stamp> now = stamp_outside_files();
    if (now != stamps_) {
        changed = true;
        read_outside_files();  // an include may have come or gone
        stamps_ = stamp_outside_files();
    }
    return changed ? Verdict::changed : Verdict::quiet;
}

}  // namespace vesk
