#include "agent/fs/remove_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "support/harness.h"

namespace vesk {
namespace {

using vesk::test::path_exists;
using vesk::test::read_file;
using vesk::test::TempDir;
using vesk::test::write_file;

// Makes root a chain of depth directories named "d", each holding a file "f", through
// descriptors so that the path length limit does not matter. Returns a descriptor on the
// deepest one, or -1.
int make_deep_tree(const std::string& root, int depth) {
    int fd = ::mkdir(root.c_str(), 0700) == 0 ? ::open(root.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    for (int i = 0; fd >= 0; ++i) {
        ::close(::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (i == depth) break;
        int next = ::mkdirat(fd, "d", 0700) == 0 ? ::openat(fd, "d", O_RDONLY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    return fd;
}

// A deep tree with links inside, under a parent that is swapped for a link (to a directory
// holding an empty one of the same name) once the walk has reached the bottom: the named tree
// goes, the links inside are removed and not followed, and the other directory stays. The
// descriptor limit, far below the depth, proves the walk does not hold one per level.
TEST(RemoveTree, DeepTreeWithLinksUnderASwappedParent) {
    TempDir dir;
    const std::string top = dir / "p/top";
    for (const char* d : {"p", "elsewhere", "elsewhere/top", "outside"})
        ASSERT_EQ(::mkdir((dir / d).c_str(), 0700), 0);
    write_file(dir / "outside/keep", "kept");
    int bottom = make_deep_tree(top, 1000);
    ASSERT_GE(bottom, 0);
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (top + "/d/to_dir").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside/keep").c_str(), (top + "/to_file").c_str()), 0);
    rlimit old, tight;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    tight = {256, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    std::atomic<bool> done{false};
    int err = -1;
    std::thread walk([&] {
        err = remove_tree(top);
        done = true;
    });
    struct stat st;
    while (!done && ::fstatat(bottom, "f", &st, AT_SYMLINK_NOFOLLOW) == 0)
        std::this_thread::yield();
    EXPECT_EQ(::rename((dir / "p").c_str(), (dir / "moved").c_str()), 0);
    EXPECT_EQ(::symlink("elsewhere", (dir / "p").c_str()), 0);
    walk.join();
    ::setrlimit(RLIMIT_NOFILE, &old);
    ::close(bottom);

    EXPECT_EQ(err, 0) << vesk::test::os_error(err);
    EXPECT_FALSE(path_exists(dir / "moved/top"));
    EXPECT_TRUE(path_exists(dir / "elsewhere/top"));
    EXPECT_EQ(read_file(dir / "outside/keep"), "kept");
}

// Every path here leads at most to s, so a refusal that fails cannot reach past the sandbox.
TEST(RemoveTree, DotAndDotDotAreRefusedBeforeAnythingIsRemoved) {
    TempDir dir;
    const std::string t = dir / "s/t";
    for (const std::string& d : {dir / "s", t, t + "/u"}) ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
    write_file(t + "/f", "x");
    ASSERT_EQ(::chdir(t.c_str()), 0);
    for (const char* path : {".", "..", "./", "u/..", "../t/.", "../t/./", "u/..//"})
        EXPECT_EQ(remove_tree(path), EINVAL) << path;
    EXPECT_EQ(read_file(t + "/f"), "x");
    EXPECT_EQ(remove_tree("u"), 0);  // relative to the working directory
    EXPECT_FALSE(path_exists(t + "/u"));
    ASSERT_EQ(::chdir("/"), 0);
}

}  // namespace
}  // namespace vesk
