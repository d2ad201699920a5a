#include "agent/fs/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/harness.h"

namespace vesk {
namespace {

using vesk::test::path_exists;
using vesk::test::read_file;
using vesk::test::TempDir;
using vesk::test::write_file;

int open_fd_count() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n - 1;  // the listing's own descriptor
}

// Builds depth nested directories named "d" under root, each holding a file, via
// descriptors so the path length limit does not matter. Returns false on failure.
bool make_deep_tree(const std::string& root, int depth) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && i < depth; ++i) {
        int f = ::openat(fd, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (f < 0 || ::mkdirat(fd, "d", 0700) != 0) return false;
        ::close(f);
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

TEST(RemoveTree, MixedTreeWithLinksLeavesTheOutsideAlone) {
    TempDir dir;
    const std::string outside = dir / "outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
    write_file(outside + "/keep", "kept");
    const std::string top = dir / "tree";
    for (const char* d : {"", "/a", "/a/b", "/empty"})
        ASSERT_EQ(::mkdir((top + d).c_str(), 0700), 0);
    write_file(top + "/a/b/f", "x");
    write_file(top + "/g", "y");
    ASSERT_EQ(::symlink(outside.c_str(), (top + "/a/to_dir").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/keep").c_str(), (top + "/to_file").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (top + "/a/b/dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((top + "/fifo").c_str(), 0600), 0);

    EXPECT_EQ(remove_tree(top), 0);
    EXPECT_FALSE(path_exists(top));
    EXPECT_EQ(read_file(outside + "/keep"), "kept");
}

TEST(RemoveTree, DeepTreeWithFewDescriptors) {
    TempDir dir;
    const std::string top = dir / "deep";
    ASSERT_EQ(::mkdir(top.c_str(), 0700), 0);
    constexpr int kDepth = 3000;
    ASSERT_TRUE(make_deep_tree(top, kDepth));

    // A descriptor limit far below the depth proves the walk does not hold one per level.
    int before = open_fd_count();
    rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(before + 200);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    int err = remove_tree(top);
    ::setrlimit(RLIMIT_NOFILE, &old);

    EXPECT_EQ(err, 0) << vesk::test::os_error(err);
    EXPECT_FALSE(path_exists(top));
    EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
}  // namespace vesk
