#include "agent/git/repository.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "agent/git/siphash.h"
#include "agent/sys.h"
#include "git/repo_fixture.h"
#include "support/harness.h"

namespace vesk {
namespace {

using test::real_path;
using test::TempDir;

// width little-endian bytes of v.
std::string le(std::uint64_t v, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return out;
}

std::string record(std::string_view name, std::int64_t sec, std::uint32_t nsec,
                   std::uint64_t size) {
    return std::string(name) + '\xff' + le(1, 8) + le(static_cast<std::uint64_t>(sec), 8) +
           le(nsec, 4) + le(size, 8);
}

void set_mtime(const std::string& path, std::int64_t sec, long nsec) {
    timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::uint64_t size_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return ~0ULL;
    return static_cast<std::uint64_t>(st.st_size);
}

TEST(JoinPath, FollowsTheJoinRule) {
    const struct {
        const char *dir, *name, *joined;
    } cases[] = {
        {"/r/.git", "HEAD", "/r/.git/HEAD"},
        {"/r/.git/", "HEAD", "/r/.git/HEAD"},
        {"/r/.git", "refs/heads", "/r/.git/refs/heads"},
        {"/r/sub", "../.git", "/r/sub/../.git"},
        {"/r/sub", "/abs/.git", "/abs/.git"},
        {"rel", ".git", "rel/.git"},
        {"/r", "", "/r/"},
        {"", ".git", ".git"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(join_path(c.dir, c.name), c.joined) << c.dir << " + " << c.name;
    }
}

TEST(EntryRecord, IsLittleEndianWithSeparatorAndFlag) {
    std::string stream;
    append_entry_record(stream, "HEAD", 0x0102030405060708, 0x0A0B0C0D, 0x1122);
    const char expected[] =
        "HEAD\xff"
        "\x01\0\0\0\0\0\0\0"
        "\x08\x07\x06\x05\x04\x03\x02\x01"
        "\x0d\x0c\x0b\x0a"
        "\x22\x11\0\0\0\0\0\0";
    EXPECT_EQ(stream, std::string(expected, sizeof expected - 1));
}

TEST(EntryRecord, BorrowsForNegativeNanosecondsAndFlagsUnrepresentableTimes) {
    const std::int64_t min = INT64_MIN;
    const std::string absent = std::string("x\xff") + le(0, 8) + le(7, 8);
    const struct {
        std::int64_t sec, nsec;
        std::string expected;
    } cases[] = {
        {1700000000, 123456789, record("x", 1700000000, 123456789, 7)},
        {-5, 0, record("x", -5, 0, 7)},
        {10, -1, record("x", 9, 999999999, 7)},
        {10, -999999999, record("x", 9, 1, 7)},
        {0, -500, record("x", -1, 999999500, 7)},
        {10, 1000000000, absent},   // a full second of nanoseconds has no encoding
        {10, -1000000000, absent},  // not above -1e9: no borrow, still out of range
        {min, -1, absent},          // the seconds cannot lend
    };
    for (const auto& c : cases) {
        std::string stream;
        append_entry_record(stream, "x", c.sec, c.nsec, 7);
        EXPECT_EQ(stream, c.expected) << c.sec << "s " << c.nsec << "ns";
    }
}

TEST(CommandStarted, TellsStartFailuresFromRuns) {
    // A child that ran and failed, even silently or by a signal, counts as started.
    for (const char* script : {"exit 0", "exit 3", "kill -9 $$"}) {
        ChildSpec desc;
        desc.program = "/bin/sh";
        desc.args = {"-c", script};
        CommandResult r = run_command(desc);
        ASSERT_TRUE(std::holds_alternative<CommandOutput>(r));
        EXPECT_TRUE(command_started(std::get<CommandOutput>(r))) << script;
    }

    // The real service, asked to run git in a directory that does not exist or whose name
    // holds a NUL byte, must be seen as not having started it.
    for (std::string cwd : {std::string("/nonexistent/vesk-dir"), std::string("a\0b", 3)}) {
        ChildSpec desc;
        desc.program = "git";
        desc.args = {"status"};
        desc.cwd = cwd;
        CommandResult r = run_command(desc);
        ASSERT_TRUE(std::holds_alternative<CommandOutput>(r));
        EXPECT_FALSE(command_started(std::get<CommandOutput>(r))) << cwd;
    }
}

// A hand-made git directory: which entries exist, their times and sizes are all chosen here,
// so the expected stream is written out independently of the code under test.
class CraftedGitDir : public ::testing::Test {
  protected:
    void SetUp() override {
        gd = tmp / "gd";
        ASSERT_EQ(::mkdir(gd.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((gd + "/refs").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((gd + "/refs/heads").c_str(), 0755), 0);
        test::write_file(gd + "/refs/heads/main", "0123\n");
        test::write_file(gd + "/HEAD", "ref: refs/heads/main\n");
        test::write_file(gd + "/index", "12345");
        test::write_file(tmp / "packed-target", "abcdefghij");
        // A symbolic link counts as its target; a dangling one as missing.
        ASSERT_EQ(::symlink((tmp / "packed-target").c_str(), (gd + "/packed-refs").c_str()), 0);
        ASSERT_EQ(::symlink((tmp / "nowhere").c_str(), (gd + "/FETCH_HEAD").c_str()), 0);
        set_mtime(gd + "/HEAD", 1700000000, 123456789);
        set_mtime(gd + "/index", 1600000000, 500000000);
        set_mtime(tmp / "packed-target", 1650000000, 7);
        set_mtime(gd + "/refs/heads", 1500000000, 1);
        ASSERT_EQ(::mkdir(plain.c_str(), 0755), 0);
    }

    std::string expected_records() {
        return record("HEAD", 1700000000, 123456789, 21) +
               record("index", 1600000000, 500000000, 5) +
               record("packed-refs", 1650000000, 7, 10) +
               record("refs/heads", 1500000000, 1, size_of(gd + "/refs/heads"));
    }

    TempDir tmp;
    std::string gd;
    std::string plain = tmp / "plain";  // exists, not inside any repository
    std::string missing = tmp / "missing";
};

TEST_F(CraftedGitDir, StreamHoldsEachExistingEntryOncePerGitDir) {
    // Both spellings of the directory must reach the same entries.
    std::string once = expected_records();
    EXPECT_EQ(fingerprint_stream(missing, {gd, gd + "/"}), once + once);
}

TEST_F(CraftedGitDir, StatusOutputIsLengthPrefixedWhenGitRuns) {
    // Outside a repository git runs and prints nothing: the stream gains a zero length.
    EXPECT_EQ(fingerprint_stream(plain, {gd}), expected_records() + le(0, 8));
    // In a directory that does not exist git cannot start: nothing is appended.
    EXPECT_EQ(fingerprint_stream(missing, {gd}), expected_records());
    EXPECT_EQ(fingerprint_stream(missing, {}), "");
}

TEST_F(CraftedGitDir, FingerprintIsSipHashOfTheStreamAndTracksEntries) {
    std::uint64_t before = repository_fingerprint(missing, {gd});
    EXPECT_EQ(before, siphash13(0, 0, expected_records()));
    EXPECT_EQ(repository_fingerprint(missing, {gd}), before);

    set_mtime(gd + "/index", 1600000000, 500000001);
    std::uint64_t touched = repository_fingerprint(missing, {gd});
    EXPECT_NE(touched, before);

    test::write_file(gd + "/MERGE_HEAD", "");
    EXPECT_NE(repository_fingerprint(missing, {gd}), touched);
}

TEST_F(CraftedGitDir, RewritingARefInsideRefsHeadsInPlaceChangesNothing) {
    std::uint64_t before = repository_fingerprint(missing, {gd});
    test::write_file(gd + "/refs/heads/main", "4567\n");
    EXPECT_EQ(repository_fingerprint(missing, {gd}), before);
    test::write_file(gd + "/refs/heads/topic", "89ab\n");
    EXPECT_NE(repository_fingerprint(missing, {gd}), before);
}

class RealRepo : public ::testing::Test {
  protected:
    void SetUp() override { test::make_repo(repo); }
    std::uint64_t fingerprint() { return repository_fingerprint(loc.workdir, loc.git_dirs); }
    TempDir tmp;
    std::string repo = tmp / "repo";
    RepoLocation loc;
};

TEST_F(RealRepo, LocatesTheGitDirectoryTwiceAtTheRoot) {
    loc = locate_repository(repo);
    EXPECT_EQ(loc.workdir, repo);
    ASSERT_EQ(loc.git_dirs.size(), 2u);
    EXPECT_EQ(real_path(loc.git_dirs[0]), real_path(repo + "/.git"));
    EXPECT_EQ(real_path(loc.git_dirs[1]), real_path(repo + "/.git"));
    EXPECT_EQ(loc.git_dirs[0].front(), '/');
}

TEST_F(RealRepo, LocatesTheEnclosingRepositoryFromASubdirectory) {
    std::string sub = repo + "/a/b";
    test::run_process({"mkdir", "-p", sub});
    loc = locate_repository(sub);
    EXPECT_EQ(loc.workdir, sub);
    ASSERT_EQ(loc.git_dirs.size(), 2u);
    for (const std::string& d : loc.git_dirs) EXPECT_EQ(real_path(d), real_path(repo + "/.git"));
    // git names the common directory relative to the working directory; it must be joined to
    // the subdirectory, not used as is.
    EXPECT_EQ(loc.git_dirs[1].rfind(sub + "/", 0), 0u) << loc.git_dirs[1];

    // The status listing covers the whole tree, so a change outside the subdirectory counts.
    std::uint64_t before = fingerprint();
    test::write_file(repo + "/tracked.txt", "changed at the root\n");
    EXPECT_NE(fingerprint(), before);
}

TEST_F(RealRepo, LocatesBothDirectoriesOfALinkedWorktree) {
    std::string wt = tmp / "wt";
    test::git_in(repo, {"worktree", "add", "-q", wt, "-b", "side"});
    loc = locate_repository(wt);
    ASSERT_EQ(loc.git_dirs.size(), 2u);
    EXPECT_EQ(real_path(loc.git_dirs[0]), real_path(repo + "/.git/worktrees/wt"));
    EXPECT_EQ(real_path(loc.git_dirs[1]), real_path(repo + "/.git"));

    // A new branch lives in the shared directory only.
    std::uint64_t before = fingerprint();
    test::git_in(repo, {"branch", "other"});
    EXPECT_NE(fingerprint(), before);
}

TEST_F(RealRepo, ExpandsTheHomeShorthand) {
    std::optional<std::string> old_home;
    if (const char* h = std::getenv("HOME")) old_home = h;
    ::setenv("HOME", tmp.path().c_str(), 1);
    loc = locate_repository("~/repo");
    if (old_home) {
        ::setenv("HOME", old_home->c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
    EXPECT_EQ(loc.workdir, tmp.path() + "/repo");
    ASSERT_EQ(loc.git_dirs.size(), 2u);
    EXPECT_EQ(real_path(loc.git_dirs[0]), real_path(repo + "/.git"));
}

TEST_F(RealRepo, FindsNothingOutsideARepositoryOrForAMissingPath) {
    std::string plain = tmp / "plain";
    ASSERT_EQ(::mkdir(plain.c_str(), 0755), 0);
    for (const std::string& p : {plain, tmp / "missing"}) {
        RepoLocation none = locate_repository(p);
        EXPECT_EQ(none.workdir, p);
        EXPECT_TRUE(none.git_dirs.empty()) << p;
    }
}

TEST_F(RealRepo, FingerprintFollowsTheStatusListing) {
    loc = locate_repository(repo);
    std::uint64_t clean = fingerprint();
    EXPECT_EQ(fingerprint(), clean);

    test::write_file(repo + "/tracked.txt", "two\n");
    std::uint64_t modified = fingerprint();
    EXPECT_NE(modified, clean);
    // Listed as modified already: another edit leaves the listing as it was.
    test::write_file(repo + "/tracked.txt", "three, and longer\n");
    EXPECT_EQ(fingerprint(), modified);

    // An untracked file that comes and goes leaves no trace.
    test::write_file(repo + "/scratch", "x");
    EXPECT_NE(fingerprint(), modified);
    ASSERT_EQ(::unlink((repo + "/scratch").c_str()), 0);
    EXPECT_EQ(fingerprint(), modified);

    test::git_in(repo, {"stash", "-q"});
    EXPECT_NE(fingerprint(), modified);
}

TEST_F(RealRepo, StatusDoesNotRewriteTheIndex) {
    loc = locate_repository(repo);
    // Make the index stale (racy) so that a status allowed to take optional locks would
    // refresh and rewrite it.
    test::write_file(repo + "/tracked.txt", "one\n");
    set_mtime(repo + "/tracked.txt", 1000000000, 0);
    struct stat before, after;
    ASSERT_EQ(::stat((repo + "/.git/index").c_str(), &before), 0);
    fingerprint();
    ASSERT_EQ(::stat((repo + "/.git/index").c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

}  // namespace
}  // namespace vesk
