// ChangeGate: tells a watcher whether anything the status command reads may have changed since
// its last poll, so that an idle repository costs no git child at all.
//
// One inotify instance per gate watches every directory of the working tree (from its top,
// whatever subdirectory was watched), every directory of the git directories but their object
// stores, and the inodes of files with more than one link (a write through a link outside the
// tree is reported on the inode only). The files outside the tree that the status command reads
// (the global and system config files, what they include, the excludes and attributes files)
// and the tree's own top are compared by their metadata at every poll.
//
// The gate must never say "quiet" after a change it could have missed. Wherever the kernel
// cannot promise that (no instance or watch to be had, a network, cluster or FUSE file system,
// more directories than the budget), arm() or poll() gives up and the watcher polls as before.
// What no kernel event reports at all (a write through a shared mapping, a mount over a tree
// directory) is bounded by the watcher's full poll.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/git/repository.h"
#include "common/sys.h"

namespace vesk {

// The share of the per-user inotify watch limit that one watch may use, from VESK_WATCH_SHARE
// (a fraction; 0 turns the gate off), else 1/8.
inline constexpr double kDefaultWatchShare = 0.125;

class ChangeGate {
  public:
    enum class Verdict { quiet, changed, lost };

    // A gate over loc's working tree and git directories, or null when it cannot be armed.
    static std::unique_ptr<ChangeGate> arm(const RepoLocation& loc);

    // Drains the kernel's events and compares the outside files. lost: the gate can no longer
    // be trusted (the caller drops it and polls in full from now on).
    Verdict poll();

    // Watches the inodes of the tree's files that have more than one link. Slow (one status
    // query per file), so the watcher runs it on its own thread, and follows it with a full
    // poll, so a write made before a link was watched is not missed.
    void watch_linked_files();

  private:
    struct Dir {
        std::string path;
        bool git = false;  // inside a git directory: the object store is skipped
        bool file = false;
    };
    struct Stamp {
        int err = 0;
        dev_t dev = 0;
        ino_t ino = 0;
        mode_t mode = 0;
        nlink_t nlink = 0;
        off_t size = 0;
        timespec mtime{}, ctime{};
        bool operator==(const Stamp& o) const;
    };

    ChangeGate() = default;
    bool build();
    bool walk(const std::string& root, bool git, bool is_root);
    // 1 watched, 0 gone meanwhile, -1 the gate cannot be kept (limit, budget, permission).
    int add(const std::string& path, bool git, bool file, bool root);
    void read_outside_files();
    std::vector<Stamp> stamp_outside_files() const;

    RepoLocation loc_;
    std::string top_;
    unique_fd fd_;
    std::size_t budget_ = 0;
    bool lost_ = false;
    std::vector<dev_t> local_devs_;  // devices already found to be local file systems
    std::unordered_map<int, Dir> watches_;
    std::vector<std::string> outside_;
    std::vector<Stamp> stamps_;
};

}  // namespace vesk
