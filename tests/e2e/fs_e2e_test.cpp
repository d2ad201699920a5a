// The fs. methods through the real agent: one table of requests and exact replies over a
// directory of fixtures (the agent's working directory), then what the table changed on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/harness.h"
#include "support/proc_state.h"

namespace {

using namespace vesk::test;

const std::string kNul("a\0b", 3);
const std::string kNulText = "file name contained an unexpected NUL byte";
const std::string kBad = "bad params: ";

std::string st(bool is_dir, std::uint64_t len, bool exists = true) {
    return ok(std::string("{\"exists\":") + (exists ? "true" : "false") + ",\"is_dir\":" +
              (is_dir ? "true" : "false") + ",\"len\":" + std::to_string(len) + "}");
}
const std::string kAbsent = st(false, 0, false);

std::uint64_t size_of(const std::string& path) {
    struct stat s;
    return ::stat(path.c_str(), &s) == 0 ? static_cast<std::uint64_t>(s.st_size) : 0;
}

TEST(FsE2E, MethodTable) {
    TempDir dir, home;
    const std::string bin = std::string("\0\xff\xfe text \r\n\0", 12) + std::string(70000, 'z');
    const std::string raw("\0\x01\xff", 3);
    // Directories, links and a FIFO; "out" and "rm_link*" point outside what is removed.
    const std::string setup =
        "mkdir -p sub list/sub full keep mk rm_empty rm_tree/a in && "
        "touch list/B list/C list/a list/ab list/é list/$(printf '\\377x') && "
        "mkfifo list/fifo && ln -s missing list/link && ln -s bin link && "
        "ln -s missing dangling && ln -s sub to_dir && ln -s list to_list && "
        "ln -s mk mk_link && ln -s missing rm_dangling && ln -s ../../keep rm_tree/a/out && "
        "ln -s keep rm_link && ln -s keep rm_link2 && "
        "for f in full/x keep/f rm_f rm_g rm_tree/a/f; do echo x >$f; done && "
        "truncate -s 4G huge && printf 12345 >five && : >empty && echo abc >'~x'";
    ASSERT_EQ(run_process({"sh", "-c", setup}, {}, {}, dir.path()).exit_code(), 0);
    write_file(dir / "bin", bin);
    write_file(dir / "w_trunc", "a much longer old content");
    write_file(dir / "w_target", "old");
    ASSERT_EQ(::chmod((dir / "w_target").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("w_target", (dir / "w_link").c_str()), 0);
    write_file(home / "h.txt", "at home");
    write_file(home / "h", "old");  // so that home's own size stays as it is
    ASSERT_EQ(::mkdir((home / "in").c_str(), 0755), 0);
    // Line counts: files over 1000000 bytes and those with a NUL in the first 8000 get none.
    // All LF bytes match in every vector lane at every step, so a counter that wraps shows.
    const std::pair<const char*, std::string> texts[] = {
        {"c_two", "a\nb\n"},
        {"c_nolf", "a\nb"},
        {"c_crlf", "x\r\ny\r\n"},
        {"c_max", std::string(1000000, '\n')},
        {"c_over", std::string(1000001, '\n')},
        {"c_nul7999", std::string(7999, 'a') + '\0'},
        {"c_nul8000", std::string(8000, '\n') + '\0'}};
    for (const auto& [name, text] : texts) write_file(dir / name, text);

    const json count_paths = {"c_two",     "c_nolf",    "c_crlf", "empty",     "c_max", "c_over",
                              "c_nul7999", "c_nul8000", "bin",    "list/fifo", "sub",   "missing",
                              "dangling",  "~/h.txt",   "c_two",  kNul};
    const std::string counts = "2,2,2,0,1000000,null,null,8001,null,null,null,null,null,1,2,null";
    // Long enough to be shared out among threads: every result still in its path's place.
    json long_list = count_paths;
    std::string long_counts = counts;
    for (int i = 1; i < 32; ++i) {
        long_list.insert(long_list.end(), count_paths.begin(), count_paths.end());
        long_counts += "," + counts;
    }
    const auto canonical = [&](const std::string& path) {
        return ok(R"({"path":)" + json(path).dump() + R"(,"recursive":false})");
    };
    std::vector<Row> rows = {
        {"fs.read", at("bin"), "", ok(), bin},
        {"fs.read", at(dir / "link", true), "", ok(), bin},
        {"fs.read", at("~/h.txt"), "", ok(), "at home"},
        {"fs.read", at("empty"), "", ok(), ""},
        {"fs.read", at("/proc/sys/kernel/ostype"), "", ok(), "Linux\n"},  // its size reads as 0
        {"fs.read", at("missing"), "", err(os_error(ENOENT))},
        {"fs.read", at("sub"), "", err(os_error(EISDIR))},
        {"fs.read", at(kNul), "", err(kNulText)},
        {"fs.read", at("huge"), "", err(os_error(EMSGSIZE))},  // too large for one frame
        {"fs.stat", at("five", false), "", st(false, 5)},
        {"fs.stat", at("link"), "", st(false, bin.size())},
        {"fs.stat", at("to_dir"), "", st(true, size_of(dir / "sub"))},
        {"fs.stat", at("~"), "", st(true, size_of(home.path()))},
        {"fs.stat", at("~x"), "", st(false, 4)},  // only "~" and "~/" mean home
        {"fs.stat", at("huge"), "", st(false, std::uint64_t{1} << 32)},
        {"fs.stat", at("dangling"), "", kAbsent},
        {"fs.stat", at(kNul), "", kAbsent},
        {"fs.readdir", at("list", true), "",
         ok("[\"B\",\"C\",\"a\",\"ab\",\"fifo\",\"link\",\"sub\",\"\xc3\xa9\",\"\xef\xbf\xbdx\"]")},
        {"fs.readdir", at("list/sub"), "", ok("[]")},
        {"fs.readdir", at("five"), "", err(os_error(ENOTDIR))},
        {"fs.readdir", at(kNul), "", err(kNulText)},
        {"fs.canonicalize", at(dir / "to_list/../list/./a"), "",
         canonical(real_path(dir / "list/a"))},
        {"fs.canonicalize", at("to_list//a", true), "", canonical(real_path(dir / "list/a"))},
        {"fs.canonicalize", at("~//proc/sys/kernel"), "", canonical("/proc/sys/kernel")},
        {"fs.canonicalize", at("missing"), "", err(os_error(ENOENT))},
        {"fs.canonicalize", at(kNul), "", err(kNulText)},
        {"fs.write", at("w_new"), raw, ok()},
        {"fs.write", at("w_trunc"), "x", ok()},
        {"fs.write", at("w_empty"), "", ok()},
        {"fs.write", at("~/h"), "home", ok()},
        {"fs.write", at("w_link"), "new", ok()},
        {"fs.write", at("no/parent"), "x", err(os_error(ENOENT))},
        {"fs.write", at("sub"), "x", err(os_error(EISDIR))},
        {"fs.write", at(kNul), "x", err(kNulText)},
        {"fs.write", at("/dev/full"), "x", err(os_error(ENOSPC))},  // the write fails, not the open
        {"fs.mkdirp", at(dir / "m/a/b/c"), "", ok()},
        {"fs.mkdirp", at("rel/x/", false), "", ok()},
        {"fs.mkdirp", at("~/in/home"), "", ok()},
        {"fs.mkdirp", at("mk_link/b/d"), "", ok()},
        {"fs.mkdirp", at("five"), "", err(os_error(EEXIST))},
        {"fs.mkdirp", at("five/sub"), "", err(os_error(ENOTDIR))},
        {"fs.mkdirp", at("dangling"), "", err(os_error(EEXIST))},
        {"fs.mkdirp", at(kNul), "", err(kNulText)},
        {"fs.mkdirp", at("/proc/self/new/dir"), "", err(os_error(ENOENT))},
        {"fs.remove", at("rm_f"), "", ok()},
        {"fs.remove", at("rm_empty"), "", ok()},
        {"fs.remove", at("rm_dangling"), "", ok()},
        {"fs.remove", at("rm_g", true), "", ok()},
        {"fs.remove", at("rm_tree", true), "", ok()},
        {"fs.remove", at("rm_link", true), "", ok()},
        {"fs.remove", at("rm_link2"), "", err(os_error(ENOTDIR))},
        {"fs.remove", at("full"), "", err(os_error(ENOTEMPTY))},
        {"fs.remove", at("missing", true), "", err(os_error(ENOENT))},
        {"fs.remove", at(kNul), "", err(kNulText)},
        {"fs.countlines", {{"paths", count_paths}}, "", ok("[" + counts + "]")},
        {"fs.countlines", {{"paths", long_list}}, "", ok("[" + long_counts + "]")},
        {"fs.countlines", {{"paths", json::array()}}, "", ok("[]")},
        {"fs.stat", json::array({"five"}), "", st(false, 5)},
        {"fs.stat", {{"path", "five"}, {"other", {1, {{"x", nullptr}}}}}, "", st(false, 5)},
    };
    // One per record shape, end to end (the wording is the decoder's unit table); nothing is
    // done.
    const std::tuple<const char*, json, const char*> bad_params[] = {
        {"fs.write", {{"recursive", 1}}, "invalid type: integer `1`, expected a boolean"},
        {"fs.countlines", {{"paths", {"a", nullptr}}}, "invalid type: null, expected a string"},
    };
    for (const auto& [method, data, message] : bad_params)
        rows.push_back({method, data, "body", err(kBad + message)});
    // Concurrent creations of one chain all succeed.
    for (int i = 0; i < 8; ++i)
        rows.push_back({"fs.mkdirp", at("p/q/r/" + std::to_string(i % 2)), "", ok()});

    vesk::client::AgentClient agent(agent_options({{"HOME", home.path()}}, dir.path()));
    // Both counts wait for the descriptors to settle: a sanitized agent opens a pipe of its own
    // for a moment now and then.
    const std::vector<std::string> fds = idle_state(agent.pid()).fds;
    expect_replies(agent, rows);
    std::vector<std::string> now;
    for (int i = 0; i < 100 && (now = proc_state(agent.pid()).fds) != fds; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(now, fds) << "a descriptor outlived its request";

    for (const char* name :
         {"no", "a", "rm_f", "rm_empty", "rm_dangling", "rm_g", "rm_tree", "rm_link"})
        EXPECT_EQ(state_of(dir / name), kGone) << name;
    for (const char* name : {"m/a/b/c", "rel/x", "mk/b/d", "p/q/r/0", "p/q/r/1"})
        EXPECT_EQ(state_of(dir / name), kDir) << name;
    const std::pair<const char*, std::string> files[] = {
        {"w_new", raw},    {"w_trunc", "x"},    {"w_empty", ""},
        {"w_link", kLink}, {"w_target", "new"}, {"five", "12345"},
        {"keep/f", "x\n"}, {"rm_link2", kLink}, {"full/x", "x\n"}};
    for (const auto& [name, want] : files) EXPECT_EQ(state_of(dir / name), want) << name;
    EXPECT_EQ(state_of(home / "h"), "home");
    EXPECT_EQ(state_of(home / "in/home"), kDir);
    struct stat s;
    ASSERT_EQ(::stat((dir / "w_target").c_str(), &s), 0);
    EXPECT_EQ(s.st_mode & 07777, 0640u) << "a rewritten file keeps its mode";
}

// Without HOME, "~" is the empty path and "~/x" the relative path x.
TEST(FsE2E, HomeUnset) {
    TempDir dir;
    write_file(dir / "x", "one\n");
    vesk::client::AgentClient agent(agent_options({{"HOME", std::nullopt}}, dir.path()));
    expect_replies(agent, {{"fs.mkdirp", at("~"), "", ok()},
                           {"fs.stat", at("~"), "", kAbsent},
                           {"fs.countlines", {{"paths", {"~/x"}}}, "", ok("[1]")},
                           {"fs.write", at("~/w"), "y", ok()}});
    EXPECT_EQ(state_of(dir / "w"), "y");
}

}  // namespace
