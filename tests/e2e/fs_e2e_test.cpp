// The fs. methods end to end: the real agent binary, the real protocol, real directories.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "client/agent_client.h"
#include "git/repo_fixture.h"
#include "support/harness.h"
#include "support/proc_state.h"

namespace {

using nlohmann::json;
using vesk::client::AgentClient;
using vesk::client::Message;
using vesk::client::StartOptions;
using vesk::test::os_error;
using vesk::test::path_exists;
using vesk::test::read_file;
using vesk::test::real_path;
using vesk::test::TempDir;
using vesk::test::write_file;

// An agent whose HOME is a directory of its own and whose working directory is `dir`.
class FsE2E : public ::testing::Test {
  protected:
    FsE2E() {
        StartOptions o;
        o.argv = {vesk::test::agent_path(), "serve"};
        o.env = {{"HOME", home.path()}};
        o.cwd = dir.path();
        agent = std::make_unique<AgentClient>(o);
    }

    Message call(const char* method, const json& data, std::string_view body = {}) {
        return agent->call(method, data, body);
    }
    Message on(const char* method, const std::string& path, std::string_view body = {}) {
        return call(method, {{"path", path}}, body);
    }
    static void expect_ok(const Message& m) {
        EXPECT_FALSE(m.error) << *m.error;
        EXPECT_EQ(m.header_text, "{\"id\":" + std::to_string(m.id) + "}");
        EXPECT_EQ(m.body, "");
    }
    static void expect_error(const Message& m, const std::string& text) {
        ASSERT_TRUE(m.error) << m.header_text;
        EXPECT_EQ(*m.error, text);
        EXPECT_TRUE(m.data.is_null());
        EXPECT_EQ(m.body, "");
    }

    TempDir dir;
    TempDir home;
    std::unique_ptr<AgentClient> agent;
};

const std::string kNul = std::string("a") + '\0' + "b";
const std::string kNulText = "file name contained an unexpected NUL byte";

// ---- fs.read ----

TEST_F(FsE2E, ReadReturnsTheBytesExactly) {
    const std::string binary = std::string("\0\xff\xfe text \r\n\0", 12) + std::string(70000, 'z');
    write_file(dir / "bin", binary);
    write_file(dir / "empty", "");
    write_file(home / "h.txt", "at home");
    ASSERT_EQ(::symlink("bin", (dir / "link").c_str()), 0);

    Message m = on("fs.read", dir / "bin");
    EXPECT_EQ(m.header_text, "{\"id\":" + std::to_string(m.id) + "}");
    EXPECT_EQ(m.body, binary);
    EXPECT_EQ(on("fs.read", dir / "link").body, binary);
    EXPECT_EQ(on("fs.read", "bin").body, binary);  // relative to the agent's directory
    EXPECT_EQ(on("fs.read", "~/h.txt").body, "at home");
    EXPECT_EQ(call("fs.read", {{"path", dir / "bin"}, {"recursive", true}}).body, binary);
    expect_ok(on("fs.read", dir / "empty"));
    // Files whose size the system reports as 0 are still read to their end.
    EXPECT_NE(on("fs.read", "/proc/self/status").body.find("VmRSS"), std::string::npos);
}

TEST_F(FsE2E, ReadOfAFileTooLargeForOneFrameIsRefusedWithoutReading) {
    // Sparse, so it costs no disk; reading it would need 4 GiB of memory.
    const std::string big = dir / "big";
    int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 32), 0);
    ::close(fd);
    expect_error(on("fs.read", big), os_error(EMSGSIZE));
    EXPECT_EQ(on("fs.stat", big).data["len"], std::uint64_t{1} << 32);
}

TEST_F(FsE2E, ReadWithoutPermission) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
    write_file(dir / "secret", "x");
    ASSERT_EQ(::chmod((dir / "secret").c_str(), 0), 0);
    expect_error(on("fs.read", dir / "secret"), os_error(EACCES));
}

// Every failure is an error reply with the system's text and no body, and changes nothing.
TEST_F(FsE2E, FailuresTable) {
    write_file(dir / "f", "x");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    struct Case {
        const char* method;
        std::string path;
        std::string text;
        bool recursive = false;
    };
    const Case cases[] = {
        {"fs.read", dir / "missing", os_error(ENOENT)},
        {"fs.read", dir / "dangling", os_error(ENOENT)},
        {"fs.read", dir.path(), os_error(EISDIR)},
        {"fs.read", dir / "f/under_a_file", os_error(ENOTDIR)},
        {"fs.read", dir / kNul, kNulText},
        {"fs.readdir", dir / "f", os_error(ENOTDIR)},
        {"fs.readdir", dir / "missing", os_error(ENOENT)},
        {"fs.readdir", dir / kNul, kNulText},
        {"fs.canonicalize", dir / "missing", os_error(ENOENT)},
        {"fs.canonicalize", dir / kNul, kNulText},
        {"fs.write", dir / "no/parent", os_error(ENOENT)},
        {"fs.write", dir / "sub", os_error(EISDIR)},
        {"fs.write", dir / kNul, kNulText},
        // A full device fails the write, not the open: the error must not read as success.
        {"fs.write", "/dev/full", os_error(ENOSPC)},
        {"fs.mkdirp", dir / "f", os_error(EEXIST)},
        {"fs.mkdirp", dir / "f/sub", os_error(ENOTDIR)},
        {"fs.mkdirp", dir / "dangling", os_error(EEXIST)},
        {"fs.mkdirp", dir / kNul, kNulText},
        {"fs.mkdirp", "/proc/self/new/dir", os_error(ENOENT)},
        {"fs.remove", dir / "missing", os_error(ENOENT)},
        {"fs.remove", dir / "missing", os_error(ENOENT), true},
        {"fs.remove", dir / kNul, kNulText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        expect_error(call(c.method, {{"path", c.path}, {"recursive", c.recursive}}, "x"), c.text);
    }
    EXPECT_FALSE(path_exists(dir / "no"));
    EXPECT_FALSE(path_exists(dir / "a"));  // the name cut at its NUL byte
    EXPECT_EQ(read_file(dir / "f"), "x");
    Message bad = call("fs.read", nullptr);
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->rfind("bad params: ", 0), 0u) << *bad.error;
}

// ---- fs.stat ----

TEST_F(FsE2E, StatShapes) {
    write_file(dir / "five", "12345");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("sub", (dir / "to_dir").c_str()), 0);
    ASSERT_EQ(::symlink("five", (dir / "to_file").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    const json absent = {{"exists", false}, {"is_dir", false}, {"len", 0}};
    struct Case {
        std::string path;
        json expected;
    };
    const Case cases[] = {
        {dir / "five", {{"exists", true}, {"is_dir", false}, {"len", 5}}},
        {dir / "to_file", {{"exists", true}, {"is_dir", false}, {"len", 5}}},
        {"five", {{"exists", true}, {"is_dir", false}, {"len", 5}}},
        {dir / "missing", absent},
        {dir / "dangling", absent},
        {dir / "five/below_a_file", absent},
        {dir / kNul, absent},
        {std::string(5000, 'n'), absent},  // name too long
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Message m = on("fs.stat", c.path);
        EXPECT_FALSE(m.error);
        EXPECT_EQ(m.data, c.expected);
    }
    for (const std::string& d : {dir / "sub", dir / "to_dir", std::string("~")}) {
        Message m = on("fs.stat", d);
        EXPECT_EQ(m.data["exists"], true) << d;
        EXPECT_EQ(m.data["is_dir"], true) << d;
    }
    // Members in byte order of their names, exactly.
    Message m = on("fs.stat", dir / "five");
    EXPECT_EQ(m.header_text, "{\"id\":" + std::to_string(m.id) +
                                 ",\"data\":{\"exists\":true,\"is_dir\":false,\"len\":5}}");
}

// ---- fs.readdir ----

TEST_F(FsE2E, ReaddirListsNamesInByteOrder) {
    for (const char* n : {"a", "C", "B", "ab", "\xc3\xa9",
                          "\xff"
                          "x"})
        write_file(dir / n, "");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("missing", (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    Message m = on("fs.readdir", dir.path());
    ASSERT_FALSE(m.error);
    // U+FFFD (EF BF BD) sorts after é (C3 A9).
    const json expected = {"B", "C", "a", "ab", "fifo", "link", "sub", "\xc3\xa9", "\xef\xbf\xbdx"};
    EXPECT_EQ(m.data, expected);
    EXPECT_EQ(on("fs.readdir", dir / "sub").data, json::array());
    EXPECT_EQ(call("fs.readdir", {{"path", dir.path()}, {"recursive", true}}).data, expected);
}

// ---- fs.canonicalize ----

TEST_F(FsE2E, CanonicalizeResolvesLinksAndDots) {
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    write_file(dir / "sub/f", "");
    ASSERT_EQ(::symlink("sub", (dir / "link").c_str()), 0);
    const std::string want = real_path(dir.path()) + "/sub/f";

    for (const std::string& p : {dir / "link/../sub/./f", std::string("link/f"), dir / "sub//f"}) {
        Message m = on("fs.canonicalize", p);
        ASSERT_FALSE(m.error) << p;
        EXPECT_EQ(m.header_text, "{\"id\":" + std::to_string(m.id) + ",\"data\":{\"path\":\"" +
                                     want + "\",\"recursive\":false}}");
    }
    Message r = call("fs.canonicalize", {{"path", "sub"}, {"recursive", true}});
    EXPECT_EQ(r.data, json({{"path", real_path(dir.path()) + "/sub"}, {"recursive", false}}));
}

// ---- fs.write ----

TEST_F(FsE2E, WriteReplacesContent) {
    const std::string binary("\0\x01\xff", 3);
    expect_ok(on("fs.write", dir / "new", binary));
    EXPECT_EQ(read_file(dir / "new"), binary);
    expect_ok(on("fs.write", dir / "new", "shorter? no, longer than before"));
    expect_ok(on("fs.write", dir / "new", "x"));
    EXPECT_EQ(read_file(dir / "new"), "x");  // truncated, not overwritten in place
    expect_ok(on("fs.write", dir / "empty", ""));
    struct stat st;
    ASSERT_EQ(::stat((dir / "empty").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    expect_ok(on("fs.write", "~/h", "home"));
    EXPECT_EQ(read_file(home / "h"), "home");
}

TEST_F(FsE2E, WriteKeepsModeAndFollowsLinks) {
    write_file(dir / "target", "old");
    ASSERT_EQ(::chmod((dir / "target").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
    expect_ok(on("fs.write", dir / "link", "new"));
    EXPECT_EQ(read_file(dir / "target"), "new");
    struct stat st;
    ASSERT_EQ(::lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat((dir / "target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(FsE2E, WriteFinishesWhenInputEndsRightAfterIt) {
    std::string content(8 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131);
    agent->send("fs.write", {{"path", dir / "late"}}, content);
    agent->close_input();
    auto status = agent->wait_exit(std::chrono::seconds(60));
    ASSERT_TRUE(status);
    EXPECT_EQ(read_file(dir / "late"), content);
}

// ---- fs.mkdirp ----

TEST_F(FsE2E, MkdirpCreatesEveryMissingLevel) {
    expect_ok(on("fs.mkdirp", dir / "a/b/c"));
    struct stat st;
    ASSERT_EQ(::stat((dir / "a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    expect_ok(on("fs.mkdirp", dir / "a/b/c"));  // already there
    expect_ok(call("fs.mkdirp", {{"path", "rel/x/"}, {"recursive", false}}));
    EXPECT_TRUE(path_exists(dir / "rel/x"));
    expect_ok(on("fs.mkdirp", "~/in/home"));
    EXPECT_TRUE(path_exists(home / "in/home"));
    // Through a link to a directory.
    ASSERT_EQ(::symlink("a", (dir / "to_a").c_str()), 0);
    expect_ok(on("fs.mkdirp", dir / "to_a/b/d"));
    EXPECT_TRUE(path_exists(dir / "a/b/d"));
}

TEST_F(FsE2E, MkdirpConcurrentRequestsAllSucceed) {
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 16; ++i) {
        ids.push_back(
            agent->send("fs.mkdirp", {{"path", dir / ("p/q/r/s/t/" + std::to_string(i % 2))}}));
    }
    for (std::uint64_t id : ids) {
        auto m = agent->wait_reply(id, std::chrono::seconds(30));
        ASSERT_TRUE(m);
        EXPECT_FALSE(m->error) << *m->error;
    }
    EXPECT_TRUE(path_exists(dir / "p/q/r/s/t/0"));
    EXPECT_TRUE(path_exists(dir / "p/q/r/s/t/1"));
}

TEST(FsE2EHome, MkdirpOfTildeWithoutHomeChangesNothing) {
    TempDir dir;
    StartOptions o;
    o.argv = {vesk::test::agent_path(), "serve"};
    o.env = {{"HOME", std::nullopt}};
    o.cwd = dir.path();
    AgentClient agent(o);
    Message m = agent.call("fs.mkdirp", {{"path", "~"}});
    EXPECT_FALSE(m.error);
    DIR* d = ::opendir(dir.path().c_str());
    int entries = 0;
    while (const dirent* e = ::readdir(d)) entries += e->d_name[0] != '.';
    ::closedir(d);
    EXPECT_EQ(entries, 0);
}

// ---- fs.remove ----

TEST_F(FsE2E, RemoveFilesAndDirectories) {
    write_file(dir / "f", "");
    ASSERT_EQ(::mkdir((dir / "empty").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "full").c_str(), 0700), 0);
    write_file(dir / "full/x", "x");
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    write_file(dir / "g", "");

    expect_ok(on("fs.remove", dir / "f"));
    expect_ok(on("fs.remove", dir / "empty"));
    expect_ok(on("fs.remove", dir / "dangling"));
    expect_ok(call("fs.remove", {{"path", dir / "g"}, {"recursive", true}}));
    for (const char* n : {"f", "empty", "dangling", "g"}) EXPECT_FALSE(path_exists(dir / n)) << n;

    expect_error(on("fs.remove", dir / "full"), os_error(ENOTEMPTY));
    EXPECT_EQ(read_file(dir / "full/x"), "x");
}

TEST_F(FsE2E, RemoveLinkToDirectory) {
    ASSERT_EQ(::mkdir((dir / "target").c_str(), 0700), 0);
    write_file(dir / "target/keep", "kept");
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);

    expect_error(on("fs.remove", dir / "link"), os_error(ENOTDIR));
    EXPECT_TRUE(path_exists(dir / "link"));
    expect_ok(call("fs.remove", {{"path", dir / "link"}, {"recursive", true}}));
    EXPECT_FALSE(path_exists(dir / "link"));
    EXPECT_EQ(read_file(dir / "target/keep"), "kept");
}

TEST_F(FsE2E, RemoveTreeThousandsOfLevelsDeep) {
    constexpr int kDepth = 3000;
    int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::mkdirat(fd, "deep", 0700), 0);
    int cur = ::openat(fd, "deep", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    for (int i = 0; i < kDepth && cur >= 0; ++i) {
        ASSERT_EQ(::mkdirat(cur, "d", 0700), 0);
        int next = ::openat(cur, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(cur);
        cur = next;
    }
    ASSERT_GE(cur, 0);
    ::close(cur);

    Message m = agent->call("fs.remove", {{"path", dir / "deep"}, {"recursive", true}}, {},
                            std::chrono::seconds(300));
    expect_ok(m);
    EXPECT_FALSE(path_exists(dir / "deep"));
}

TEST_F(FsE2E, RemoveTreeWithoutPermissionStopsAtTheFirstFailure) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may remove entries of a read-only directory";
    ASSERT_EQ(::mkdir((dir / "t").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "t/locked").c_str(), 0700), 0);
    write_file(dir / "t/locked/f", "");
    ASSERT_EQ(::chmod((dir / "t/locked").c_str(), 0500), 0);
    expect_error(call("fs.remove", {{"path", dir / "t"}, {"recursive", true}}), os_error(EACCES));
    EXPECT_TRUE(path_exists(dir / "t/locked/f"));
}

// ---- fs.countlines ----

TEST_F(FsE2E, CountlinesOverTheWire) {
    write_file(dir / "two", "a\nb\n");
    write_file(home / "h.txt", "one");
    write_file(dir / "bin", std::string("a\0b\n", 4));
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    Message m = call("fs.countlines", {{"paths",
                                        {dir / "two", dir / "missing", dir / "sub", "~/h.txt",
                                         "two", dir / "bin", dir / "two"}}});
    ASSERT_FALSE(m.error);
    EXPECT_EQ(m.data, json({2, nullptr, nullptr, 1, 2, nullptr, 2}));
    EXPECT_EQ(call("fs.countlines", {{"paths", json::array()}}).data, json::array());
    Message bad = call("fs.countlines", {{"paths", "x"}});
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->rfind("bad params: ", 0), 0u);
}

// ---- descriptors ----

TEST_F(FsE2E, NoDescriptorOutlivesItsRequest) {
    write_file(dir / "f", "a\n");
    ASSERT_EQ(::mkdir((dir / "t").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "t/u").c_str(), 0700), 0);
    on("fs.stat", dir / "f");  // the agent is fully started
    const std::vector<std::string> before = vesk::test::proc_state(agent->pid()).fds;
    ASSERT_FALSE(before.empty());
    on("fs.read", dir / "f");
    on("fs.read", dir.path());
    on("fs.readdir", dir.path());
    on("fs.canonicalize", dir / "f");
    on("fs.write", dir / "g", "x");
    on("fs.write", dir / "t", "x");
    on("fs.mkdirp", dir / "m/n");
    call("fs.countlines", {{"paths", {dir / "f", dir / "t"}}});
    call("fs.remove", {{"path", dir / "t"}, {"recursive", true}});
    on("fs.remove", dir / "m");
    EXPECT_EQ(vesk::test::proc_state(agent->pid()).fds, before);
}

}  // namespace
