// The vesk tool end to end: the built binary against the built agent, exit statuses included.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/cli.h"
#include "client/progress.h"
#include "git/repo_fixture.h"
#include "support/harness.h"

extern char** environ;

namespace {

using nlohmann::json;
using vesk::test::os_error;
using vesk::test::ProcessResult;
using vesk::test::TempDir;
using vesk::test::write_file;

std::string vesk_path() {
    std::string agent = vesk::test::agent_path();
    return agent.substr(0, agent.rfind('/') + 1) + "client/vesk";
}

class VeskCli : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(vesk_path().c_str(), X_OK) != 0)
            GTEST_SKIP() << "vesk is not built at " << vesk_path() << " (build the vesk target)";
    }
    // Runs vesk against the agent under test.
    ProcessResult vesk(std::vector<std::string> args, std::string_view input = {}) {
        args.insert(args.begin(), {vesk_path(), "--agent", vesk::test::agent_path()});
        return vesk::test::run_process(args, input);
    }
    TempDir dir;
};

TEST_F(VeskCli, HelloInWordsAndInJson) {
    ProcessResult r = vesk({"hello"});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("agent     vesk-agent 1.0.1 (protocol 1)\n"), std::string::npos) << r.out;
    r = vesk({"--json", "hello"});
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["version"], "1.0.1");
    EXPECT_EQ(j["protocol"], 1);
}

TEST_F(VeskCli, FileCommands) {
    std::string bytes("line\n\0\xff binary", 15);
    ProcessResult r = vesk({"put", dir / "f"}, bytes);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(vesk::test::read_file(dir / "f"), bytes);
    r = vesk({"cat", dir / "f", dir / "f"});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, bytes + bytes);
    // Past the progress bar's threshold, but standard error is not a terminal: no bar.
    std::string big(9u << 20, 'z');
    write_file(dir / "big", big);
    r = vesk({"cat", dir / "big"});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_TRUE(r.out == big);
    EXPECT_EQ(r.err, "");

    // cat goes on past a failing path and reports it.
    r = vesk({"cat", dir / "missing", dir / "f"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, bytes);
    EXPECT_EQ(r.err, "vesk: " + (dir / "missing") + ": " + os_error(ENOENT) + "\n");

    ASSERT_EQ(vesk({"mkdir", dir / "a/b/c"}).exit_code(), 0);
    EXPECT_TRUE(vesk::test::path_exists(dir / "a/b/c"));
    write_file(dir / "a/B", "");
    write_file(dir / "a/C", "");
    r = vesk({"ls", dir / "a"});
    EXPECT_EQ(r.out, "B\nC\nb\n");
    r = vesk({"--json", "ls", dir / "a"});
    EXPECT_EQ(json::parse(r.out), json({"B", "C", "b"}));

    r = vesk({"stat", dir / "f", dir / "a", dir / "nope"});
    EXPECT_EQ(r.exit_code(), 1) << "a missing path fails stat";
    EXPECT_EQ(r.out,
              (dir / "f") + ": file, 15 bytes\n" + (dir / "a") + ": directory, " +
                  std::to_string(json::parse(vesk({"--json", "stat", dir / "a"}).out)[0]["len"]
                                     .get<std::uint64_t>()) +
                  " bytes\n" + (dir / "nope") + ": does not exist\n");

    r = vesk({"realpath", dir / "a/b/../b/./c"});
    char buf[PATH_MAX];
    ASSERT_TRUE(::realpath((dir / "a/b/c").c_str(), buf));
    EXPECT_EQ(r.out, std::string(buf) + "\n");

    r = vesk({"rm", dir / "a"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, "vesk: " + (dir / "a") + ": " + os_error(ENOTEMPTY) + "\n");
    EXPECT_EQ(vesk({"rm", "-r", dir / "a"}).exit_code(), 0);
    EXPECT_FALSE(vesk::test::path_exists(dir / "a"));
}

TEST_F(VeskCli, LineCounts) {
    write_file(dir / "three", "a\nb\nc\n");
    write_file(dir / "two", "a\nb");
    write_file(dir / "bin", std::string("\0", 1));
    ProcessResult r = vesk({"wc", dir / "three", dir / "two", dir / "bin"});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "       3 " + (dir / "three") + "\n       2 " + (dir / "two") + "\n       - " +
                         (dir / "bin") + "\n       5 total\n");
    r = vesk({"--json", "wc", dir / "two", dir / "bin"});
    EXPECT_EQ(json::parse(r.out),
              json::parse(R"([{"path":")" + (dir / "two") + R"(","lines":2},{"path":")" +
                          (dir / "bin") + R"(","lines":null}])"));
}

TEST_F(VeskCli, ExecPassesStreamsAndTheExitCode) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int code;
        std::string out, err;
    };
    std::vector<Case> cases = {
        {{"exec", "sh", "-c", "echo out; echo err >&2; exit 7"}, "", 7, "out\n", "err\n"},
        {{"exec", "cat"}, "from stdin", 0, "from stdin", ""},
        {{"exec", "-n", "cat"}, "not sent", 0, "", ""},
        {{"exec", "-C", dir.path(), "sh", "-c", "ls"}, "", 0, "marker\n", ""},
        {{"exec", "--", "printf", "%s|", "a b", "*"}, "", 0, "a b|*|", ""},
        {{"exec", "sh", "-c", "kill -9 $$"},
         "",
         1,
         "",
         "vesk: sh did not exit normally (it could not start, or a signal ended it)\n"},
        {{"exec", dir / "no-such-program"},
         "",
         1,
         "",
         os_error(ENOENT) + "\nvesk: " + (dir / "no-such-program") +
             " did not exit normally (it could not start, or a signal ended it)\n"},
    };
    write_file(dir / "marker", "");
    for (const Case& k : cases) {
        ProcessResult r = vesk(k.args, k.input);
        EXPECT_EQ(r.exit_code(), k.code) << k.args.back();
        EXPECT_EQ(r.out, k.out) << k.args.back();
        EXPECT_EQ(r.err, k.err) << k.args.back();
    }
    ProcessResult r = vesk({"--json", "exec", "sh", "-c", "printf x; exit 3"});
    EXPECT_EQ(r.exit_code(), 3);
    EXPECT_EQ(json::parse(r.out), json({{"code", 3}, {"stderr", ""}, {"stdout", "x"}}));
}

TEST_F(VeskCli, GitRunsInTheDirectoryWithTheEnvironmentGiven) {
    ProcessResult r =
        vesk({"git", "-C", dir.path(), "-e", "GIT_EDITOR=my-editor", "var", "GIT_EDITOR"});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, "my-editor\n");
    r = vesk({"git", "-C", dir.path(), "status"});
    EXPECT_EQ(r.exit_code(), 128);
    EXPECT_NE(r.err.find("not a git repository"), std::string::npos) << r.err;
}

TEST_F(VeskCli, CallSendsAnyRequest) {
    write_file(dir / "f", "12345");
    ProcessResult r = vesk({"--json", "call", "fs.stat", json{{"path", dir / "f"}}.dump()});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "{\"id\":1,\"data\":{\"exists\":true,\"is_dir\":false,\"len\":5}}\n");
    r = vesk({"call", "fs.write", json{{"path", dir / "g"}}.dump()}, "body");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(vesk::test::read_file(dir / "g"), "body");
    r = vesk({"call", "fs.read", json{{"path", dir / "f"}}.dump()});
    EXPECT_EQ(r.out, "12345");
    r = vesk({"call", "frob"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err, "vesk: frob: unknown method \"frob\"\n");
}

TEST_F(VeskCli, UsageErrorsExitWithTwo) {
    std::vector<std::vector<std::string>> cases = {
        {},
        {"frob"},
        {"--frob", "hello"},
        {"--agent", "x", "--ssh", "host", "hello"},
        {"--remote-agent", "x", "hello"},
        {"--ssh", "-oProxyCommand=evil", "hello"},
        {"hello", "extra"},
        {"cat"},
        {"rm", "-r"},
        {"put", "a", "b"},
        {"exec"},
        {"git", "-e", "NOEQUALS"},
        {"call"},
        {"call", "fs.stat", "{not json"},
        {"--agent"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {vesk_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult r = vesk::test::run_process(argv);
        std::string what = args.empty() ? "(none)" : args.back();
        EXPECT_EQ(r.exit_code(), 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(r.err.rfind("vesk: ", 0), 0u) << what << ": " << r.err;
        EXPECT_NE(r.err.find("usage: vesk"), std::string::npos) << what;
    }
    ProcessResult help = vesk::test::run_process({vesk_path(), "--help"});
    EXPECT_EQ(help.exit_code(), 0);
    EXPECT_EQ(help.out.rfind("usage: vesk", 0), 0u);
}

TEST_F(VeskCli, ParsingKeepsProgramOptionsForTheProgram) {
    vesk::cli::Invocation inv =
        vesk::cli::parse({"--json", "git", "-C", "/r", "-e", "A=b=c", "log", "-C", "x"});
    EXPECT_TRUE(inv.json);
    EXPECT_EQ(inv.dir, "/r");
    EXPECT_EQ(inv.env, (std::vector<std::pair<std::string, std::string>>{{"A", "b=c"}}));
    EXPECT_EQ(inv.args, (std::vector<std::string>{"log", "-C", "x"}));
    inv = vesk::cli::parse({"--ssh=h", "--remote-agent=/a", "exec", "ls", "-n"});
    EXPECT_EQ(inv.ssh_host.value_or(""), "h");
    EXPECT_EQ(inv.remote_agent.value_or(""), "/a");
    EXPECT_FALSE(inv.no_stdin);
    EXPECT_EQ(inv.args, (std::vector<std::string>{"-n"}));
    EXPECT_EQ(vesk::cli::parse({"ls"}).paths, (std::vector<std::string>{"."}));
}

TEST_F(VeskCli, TheDefaultAgentIsFoundBesideTheToolOrAboveItsBuildDirectory) {
    // Build tree: <build>/client/vesk finds <build>/vesk-agent.
    ProcessResult r = vesk::test::run_process({vesk_path(), "hello"});
    EXPECT_EQ(r.exit_code(), 0) << r.err;

    std::string install = dir / "bin";
    ::mkdir(install.c_str(), 0755);
    EXPECT_FALSE(vesk::cli::find_agent_beside(install + "/vesk"));
    write_file(install + "/vesk-agent", "#!/bin/sh\n");
    EXPECT_FALSE(vesk::cli::find_agent_beside(install + "/vesk")) << "not executable";
    ::chmod((install + "/vesk-agent").c_str(), 0755);
    EXPECT_EQ(vesk::cli::find_agent_beside(install + "/vesk").value_or(""),
              install + "/vesk-agent");
    // Only a directory named client looks one level up.
    std::string client = install + "/client";
    std::string other = install + "/other";
    ::mkdir(client.c_str(), 0755);
    ::mkdir(other.c_str(), 0755);
    EXPECT_EQ(vesk::cli::find_agent_beside(client + "/vesk").value_or(""), install + "/vesk-agent");
    EXPECT_FALSE(vesk::cli::find_agent_beside(other + "/vesk"));
}

TEST_F(VeskCli, SshGoesThroughTheSshOnThePath) {
    // Stand-in ssh: records its arguments; "down" behaves like an unreachable host.
    std::string ssh = dir / "ssh";
    write_file(ssh,
               "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
               "if [ \"$1\" = down ]; then echo 'ssh: connect to host down port 22: Connection "
               "refused' >&2; exit 255; fi\nshift\nexec sh -c \"$*\"\n");
    ::chmod(ssh.c_str(), 0755);
    std::vector<std::pair<std::string, std::optional<std::string>>> env = {
        {"PATH", dir.path() + ":" + std::getenv("PATH")}};
    ProcessResult r = vesk::test::run_process(
        {vesk_path(), "--ssh", "devbox", "--remote-agent", vesk::test::agent_path(), "hello"}, {},
        env);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("vesk-agent 1.0.1"), std::string::npos);
    EXPECT_EQ(vesk::test::read_file(dir / "args"),
              "devbox\n" + std::string(vesk::test::agent_path()) + " serve\n");

    r = vesk::test::run_process({vesk_path(), "--ssh", "down", "hello"}, {}, env);
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(vesk::test::read_file(dir / "args"), "down\nvesk-agent serve\n");
    EXPECT_NE(r.err.find("exited with status 255"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Connection refused"), std::string::npos) << r.err;
}

TEST_F(VeskCli, ADeadAgentIsAFailedRequest) {
    std::string fake = dir / "agent";
    write_file(fake, "#!/bin/sh\necho 'cannot serve' >&2\nexit 3\n");
    ::chmod(fake.c_str(), 0755);
    ProcessResult r = vesk::test::run_process({vesk_path(), "--agent", fake, "stat", "/"});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("vesk: agent failed: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("exited with status 3"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cannot serve"), std::string::npos) << r.err;
}

TEST(ProgressBar, ShowsBytesAndRate) {
    EXPECT_EQ(vesk::cli::ProgressBar::render("receiving", 4u << 20, 8u << 20, 2.0),
              "receiving [###############               ] 4.0 MiB / 8.0 MiB  2.0 MiB/s");
    EXPECT_EQ(vesk::cli::ProgressBar::render("sending", 10u << 20, 10u << 20, 0.0),
              "sending [##############################] 10.0 MiB / 10.0 MiB  -");
    EXPECT_EQ(vesk::cli::human_bytes(512), "512 B");
    EXPECT_EQ(vesk::cli::human_bytes(1536), "1.5 KiB");
}

TEST_F(VeskCli, WatchPrintsATimestampedLinePerChangeUntilInterrupted) {
    std::string repo = dir / "repo";
    vesk::test::make_repo(repo);

    std::string out_file = dir / "watch.out";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> args = {vesk_path(), "--agent", vesk::test::agent_path(), "watch",
                                     repo};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);

    // Changes keep coming until a line appears, so the watch's start-up time does not matter.
    std::string text;
    for (int i = 0; i < 30 && text.empty(); ++i) {
        write_file(repo + "/tracked.txt", std::to_string(i) + "\n");
        write_file(repo + "/u" + std::to_string(i), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        text = vesk::test::read_file(out_file);
    }
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    text = vesk::test::read_file(out_file);
    ASSERT_FALSE(text.empty()) << "no change reported";
    std::string first = text.substr(0, text.find('\n'));
    EXPECT_TRUE(
        std::regex_match(first, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  changed  )" + repo)))
        << first;
}

}  // namespace
