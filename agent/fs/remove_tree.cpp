#include "agent/fs/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "agent/fs/path.h"
#include "common/sys.h"

namespace vesk {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Streams kept open along the current branch. Levels above them are closed and reopened
// through ".." on the way back up, so a tree thousands of levels deep needs no more
// descriptors than this.
constexpr std::size_t kMaxOpenLevels = 64;

// One directory on the branch from the top to where the walk is.
struct Level {
    std::string name;  // its entry in the level above; empty for the top
    dev_t dev = 0;     // identity, so a reopened stream is known to be the same directory
    ino_t ino = 0;
    DIR* dir = nullptr;  // null while closed to save descriptors
};

// The branch being emptied. Invariant: the open levels are exactly the deepest ones (at most
// kMaxOpenLevels of them), so the deepest level is always open.
class Branch {
  public:
    Branch() = default;
    Branch(const Branch&) = delete;
    Branch& operator=(const Branch&) = delete;
    ~Branch() {
        for (Level& l : levels_) {
            if (l.dir) ::closedir(l.dir);
        }
    }

    bool empty() const { return levels_.empty(); }
    std::size_t depth() const { return levels_.size(); }
    Level& deepest() { return levels_.back(); }

    // Adds the directory open on fd (taking it) below the deepest level.
    int push(std::string name, int fd) {
        Level l;
        l.name = std::move(name);
        struct stat st;
        if (::fstat(fd, &st) != 0 || !(l.dir = ::fdopendir(fd))) {
            int err = errno;
            ::close(fd);
            return err;
        }
        l.dev = st.st_dev;
        l.ino = st.st_ino;
        levels_.push_back(std::move(l));
        if (levels_.size() > kMaxOpenLevels) {
            Level& oldest_open = levels_[levels_.size() - 1 - kMaxOpenLevels];
            ::closedir(oldest_open.dir);
            oldest_open.dir = nullptr;
        }
        return 0;
    }

    // Drops the deepest level (now empty) and returns its name, with the level above open.
    // Returns 0 or the errno value.
    int pop(std::string* name) {
        Level& child = levels_.back();
        Level& parent = levels_[levels_.size() - 2];
        if (!parent.dir) {
            // ".." is never a link; the identity check refuses to go on if the branch was
            // moved meanwhile, since ".." would then lead somewhere outside the tree.
            int fd = ::openat(::dirfd(child.dir), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) return errno;
            struct stat st;
            int err = ::fstat(fd, &st) != 0 ? errno : 0;
            if (err == 0 && (st.st_dev != parent.dev || st.st_ino != parent.ino)) err = ESTALE;
            if (err == 0 && !(parent.dir = ::fdopendir(fd))) err = errno;
            if (err != 0) {
                ::close(fd);
                return err;
            }
        }
        ::closedir(child.dir);
        *name = std::move(child.name);
        levels_.pop_back();
        return 0;
    }

  private:
    std::vector<Level> levels_;
};

// Removes everything inside the directory open on top (taking the descriptor).
int empty_tree(int top) {
    Branch branch;
    if (int err = branch.push({}, top)) return err;
    for (;;) {
        DIR* dir = branch.deepest().dir;
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (e == nullptr) {
            if (errno != 0) return errno;
            if (branch.depth() == 1) return 0;
            std::string name;
            if (int err = branch.pop(&name)) return err;
            if (::unlinkat(::dirfd(branch.deepest().dir), name.c_str(), AT_REMOVEDIR) != 0) {
                return errno;
            }
            continue;
        }
        if (is_dot_or_dotdot(e->d_name)) continue;
        // unlinkat never follows a link; only a real directory answers EISDIR and is entered.
        if (::unlinkat(::dirfd(dir), e->d_name, 0) == 0) continue;
        if (errno != EISDIR) return errno;
        int child = ::openat(::dirfd(dir), e->d_name, kDirFlags);
        if (child < 0) return errno;
        if (int err = branch.push(e->d_name, child)) return err;
    }
}

}  // namespace

int remove_tree(const std::string& path) {
    // The last component, as the system sees it: trailing slashes do not end it, but they stay
    // part of it below, so that "link/" means the directory behind the link, as in any lookup.
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? ENOENT : EBUSY;  // "" or the root
    std::size_t slash = path.rfind('/', end);
    std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    // "x/." and "x/.." cannot be unlinked from anywhere; refused before the walk, which would
    // otherwise empty the directory (or its parent) and only then fail.
    if (is_dot_or_dotdot(std::string_view(path).substr(start, end + 1 - start))) return EINVAL;
    const std::string last = path.substr(start);

    // Everything from here on goes through the parent opened now, so a component above the
    // top that is swapped for a link meanwhile cannot redirect the walk or the final removal.
    unique_fd parent(
        ::open(start == 0 ? "." : path.substr(0, start).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent) return errno;
    int top = ::openat(parent.get(), last.c_str(), kDirFlags);
    if (top < 0) {
        int err = errno;
        // A link at the top is removed as a link; so is anything else that is not a directory.
        if (err != ELOOP && err != ENOTDIR) return err;
        return ::unlinkat(parent.get(), last.c_str(), 0) == 0 ? 0 : errno;
    }
    if (int err = empty_tree(top)) return err;
    return ::unlinkat(parent.get(), last.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace vesk
