// "git" through the real agent binary: with a stand-in git first on the search path to see
// exactly what git is given, and with the host's git for real repository work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/agent_client.h"
#include "support/harness.h"

namespace {

using json = nlohmann::json;
using vesk::client::AgentClient;
using vesk::client::Message;
using vesk::client::StartOptions;
using vesk::test::os_error;
using vesk::test::TempDir;

// A directory holding a fake `git` that reports its arguments, environment and directory.
struct FakeGit {
    TempDir bin;
    FakeGit() {
        vesk::test::write_file(bin / "git",
                               "#!/bin/sh\n"
                               "for a in \"$@\"; do printf '[%s]' \"$a\"; done\n"
                               "echo\n"
                               "echo \"GIT_TERMINAL_PROMPT=$GIT_TERMINAL_PROMPT\"\n"
                               "echo \"LC_ALL=$LC_ALL\"\n"
                               "echo \"INHERITED=$VESK_INHERITED\"\n"
                               "echo \"HOME=$HOME\"\n"
                               "env | grep -c '^LC_ALL='\n"
                               "pwd\n");
        ::chmod((bin / "git").c_str(), 0755);
    }
    AgentClient start(const std::string& home) {
        StartOptions options;
        options.argv = {vesk::test::agent_path(), "serve"};
        const char* path = std::getenv("PATH");
        options.env = {{"PATH", bin.path() + ":" + (path ? path : "/usr/bin:/bin")},
                       {"VESK_INHERITED", "kept"},
                       {"HOME", home}};
        return AgentClient(options);
    }
};

std::string fake_report(const std::string& args, const std::string& prompt,
                        const std::string& lc_all, const std::string& home,
                        const std::string& cwd) {
    return args + "\nGIT_TERMINAL_PROMPT=" + prompt + "\nLC_ALL=" + lc_all +
           "\nINHERITED=kept\nHOME=" + home + "\n1\n" + cwd + "\n";
}

TEST(GitE2E, EnvironmentPairsApplyAfterTheFixedSettings) {
    FakeGit git;
    TempDir home;
    AgentClient agent = git.start(home.path());
    using Pairs = std::vector<std::vector<std::string>>;
    struct Case {
        const char* what;
        json data;
        std::string report;
    } cases[] = {
        {"no env",
         {{"cwd", home.path()}, {"args", {"status", "a b", "*"}}},
         fake_report("[status][a b][*]", "0", "C", home.path(), home.path())},
        {"empty env",
         {{"cwd", home.path()}, {"args", json::array()}, {"env", json::array()}},
         fake_report("", "0", "C", home.path(), home.path())},
        {"LC_ALL overridden",
         {{"cwd", home.path()}, {"args", {"x"}}, {"env", Pairs{{"LC_ALL", "en_US.UTF-8"}}}},
         fake_report("[x]", "0", "en_US.UTF-8", home.path(), home.path())},
        {"prompt overridden",
         {{"cwd", home.path()}, {"args", {"x"}}, {"env", Pairs{{"GIT_TERMINAL_PROMPT", "1"}}}},
         fake_report("[x]", "1", "C", home.path(), home.path())},
        {"later pair wins",
         {{"cwd", home.path()},
          {"args", {"x"}},
          {"env", Pairs{{"HOME", "/first"}, {"LC_ALL", "POSIX"}, {"HOME", "/second"}}}},
         fake_report("[x]", "0", "POSIX", "/second", home.path())},
        {"positional form", json::array({home.path(), {"x"}, Pairs{{"GIT_TERMINAL_PROMPT", ""}}}),
         fake_report("[x]", "", "C", home.path(), home.path())},
        {"cwd ~",
         {{"cwd", "~"}, {"args", {"x"}}},
         fake_report("[x]", "0", "C", home.path(), home.path())},
    };
    for (const auto& c : cases) {
        Message m = agent.call("git", c.data);
        EXPECT_FALSE(m.error.has_value()) << c.what << ": " << m.error.value_or("");
        EXPECT_EQ(m.data, json({{"code", 0}, {"stderr", ""}})) << c.what;
        EXPECT_EQ(m.body, c.report) << c.what;
    }
}

// The parameter texts are checked by the decoding unit tests; here, start failures.
TEST(GitE2E, StartFailuresAreSuccessRepliesWithCodeMinusOne) {
    FakeGit git;
    TempDir home;
    AgentClient agent = git.start(home.path());
    Message missing = agent.call("git", {{"cwd", home / "absent"}, {"args", {"status"}}});
    EXPECT_EQ(missing.header_text,
              vesk::test::reply_header(missing.id, {{"code", -1}, {"stderr", os_error(ENOENT)}}));
    EXPECT_TRUE(missing.body.empty());
    Message nul =
        agent.call("git", {{"cwd", "/"},
                           {"args", {"x"}},
                           {"env", json::array({json::array({"A", std::string("b\0c", 3)})})}});
    EXPECT_EQ(nul.data, json({{"code", -1}, {"stderr", "nul byte found in provided data"}}));
    Message bad = agent.call("git", {{"cwd", "/"}, {"args", {"x"}}, {"env", nullptr}});
    EXPECT_EQ(bad.error, "bad params: invalid type: null, expected a sequence");
}

// With the host's git: binary bytes in and out unchanged. Its failures pass through as codes,
// which the vesk tool's git test checks.
TEST(GitE2E, BinaryObjectsTravelUnchangedBothWays) {
    TempDir repo;
    ASSERT_EQ(vesk::test::run_process({"git", "init", "-q", repo.path()}).exit_code(), 0);
    AgentClient agent(vesk::test::agent_path());
    auto agent_git = [&](std::vector<std::string> args, std::string_view body = {}) {
        return agent.call("git", {{"cwd", repo.path()}, {"args", args}}, body);
    };
    std::string blob("\x89PNG\r\n\x1a\n\0\xff\xfe binary", 19);
    Message stored = agent_git({"hash-object", "-w", "--stdin"}, blob);
    ASSERT_EQ(stored.data["code"], 0) << stored.data.dump();
    std::string id = stored.body.substr(0, stored.body.find('\n'));
    auto direct = vesk::test::run_process({"git", "hash-object", "--stdin"}, blob);
    EXPECT_EQ(stored.body, direct.out);
    Message read = agent_git({"cat-file", "blob", id});
    EXPECT_EQ(read.data, json({{"code", 0}, {"stderr", ""}}));
    EXPECT_EQ(read.body, blob);
}

}  // namespace
