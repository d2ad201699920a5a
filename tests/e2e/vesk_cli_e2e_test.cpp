// The vesk tool end to end: the built binary against the agent under test, one table of
// command lines with their input, exit status and outputs, run in order in one directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <thread>

#include "client/cli.h"
#include "client/progress.h"
#include "git/repo_fixture.h"
#include "support/harness.h"
#include "support/proc_state.h"

namespace {

using namespace vesk::test;

const std::string kNotNormal =
    " did not exit normally (it could not start, or a signal ended it)\n";

TEST(VeskCli, Table) {
    TempDir tmp;
    const auto d = [&](std::string_view name) { return tmp / name; };
    const std::string bytes("line\n\0\xff binary", 15), big(9u << 20, 'z'), home = d("h\xc3\xa9");
    ASSERT_EQ(run_process({"sh", "-c",
                           "mkdir -p a/b/c bin && touch a/B a/C && printf 'a\\nb\\nc\\n' >three && "
                           "printf 'a\\nb' >two && printf '\\0' >nul"},
                          {}, {}, tmp.path())
                  .exit_code(),
              0);
    write_file(d("big"), big);
    write_script(d("dead"), "echo 'cannot serve' >&2; exit 3");
    write_script(d("garbage"), "printf '\\0\\0\\0\\005hello\\0\\0\\0\\0'; cat >/dev/null");
    write_script(d("cut"), "printf '\\0\\0\\0\\040{\"id\":1'");
    // A stand-in ssh that records its arguments and runs the remote command here; the host
    // "down" is unreachable.
    write_script(d("bin/ssh"),
                 "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
                 "[ \"$1\" = down ] && { echo 'ssh: connect to host down: Connection refused' >&2; "
                 "exit 255; }\nshift\nexec sh -c \"$*\"");
    ASSERT_EQ(::symlink(agent_path(), d("my agent").c_str()), 0);
#if defined(__x86_64__)
    const std::string arch = "x86_64";
#else
    const std::string arch = "aarch64";
#endif
    std::string git = run_process({"git", "--version"}).out;
    git.pop_back();
    const std::string hello = "agent     vesk-agent 1.0.1 (protocol 1)\nsystem    linux " + arch +
                              "\nhome      " + home + "\ngit       " + git + "\n";
    const std::string hello_json = R"({"arch":")" + arch + R"(","git":)" + json(git).dump() +
                                   R"(,"home":")" + home +
                                   R"(","os":"linux","protocol":1,"version":"1.0.1"})";
    const std::string nl = "\n";
    struct stat b;
    ASSERT_EQ(::stat(d("a/b").c_str(), &b), 0);
    const std::string size_b = std::to_string(b.st_size);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int code;
        std::string out, err = "";
    };
    // In a/, with the agent under test given as --agent=PATH unless a row says --ssh.
    // clang-format off
    std::vector<Case> cases = {
        {{"hello"}, "", 0, hello},
        {{"--json", "hello"}, "", 0, hello_json + "\n"},
        {{"put", "../f"}, bytes, 0, ""},
        {{"cat", "../f", "../f"}, "", 0, bytes + bytes},
        {{"cat", "../missing", "../f"}, "", 1, bytes,
         "vesk: ../missing: " + os_error(ENOENT) + "\n"},
        {{"cat", "../big"}, "", 0, big},  // past the progress threshold, but stderr is no terminal
        {{"mkdir", "m/n"}, "", 0, ""},
        {{"ls"}, "", 0, "B\nC\nb\nm\n"},
        {{"--json", "ls", "m"}, "", 0, "[\"n\"]\n"},
        {{"stat", "../f", "b", "nope"}, "", 1,
         "../f: file, 15 bytes\nb: directory, " + size_b + " bytes\nnope: does not exist\n"},
        {{"--json", "stat", "../f"}, "", 0,
         R"([{"exists":true,"is_dir":false,"len":15,"path":"../f"}])" + nl},
        {{"realpath", "b/../b/./c"}, "", 0, real_path(d("a/b/c")) + "\n"},
        {{"--json", "realpath", "b"}, "", 0, json(real_path(d("a/b"))).dump() + "\n"},
        {{"rm", "b"}, "", 1, "", "vesk: b: " + os_error(ENOTEMPTY) + "\n"},
        {{"wc", "../three", "../two", "../nul"}, "", 0,
         "       3 ../three\n       2 ../two\n       - ../nul\n       5 total\n"},
        {{"--json", "wc", "../two", "../nul"}, "", 0,
         R"([{"lines":2,"path":"../two"},{"lines":null,"path":"../nul"}])" + nl},
        {{"exec", "sh", "-c", "echo out; echo err >&2; exit 7"}, "", 7, "out\n", "err\n"},
        {{"exec", "cat"}, "from stdin", 0, "from stdin"},
        {{"exec", "-n", "cat"}, "not sent", 0, ""},
        {{"exec", "-C", "b", "ls"}, "", 0, "c\n"},
        {{"exec", "--", "printf", "%s|", "a b", "*"}, "", 0, "a b|*|"},
        {{"exec", "sh", "-c", "printf x >&2; kill -9 $$"}, "", 1, "", "x\nvesk: sh" + kNotNormal},
        {{"exec", "../nope"}, "", 1, "", os_error(ENOENT) + "\nvesk: ../nope" + kNotNormal},
        {{"--json", "exec", "sh", "-c", "printf x; exit 3"}, "", 3,
         R"({"code":3,"stderr":"","stdout":"x"})" + nl},
        {{"git", "-C", "b", "-e", "GIT_EDITOR=my-editor", "var", "GIT_EDITOR"}, "", 0,
         "my-editor\n"},
        {{"--json", "call", "fs.stat", R"({"path":"../f"})"}, "", 0,
         R"({"id":1,"data":{"exists":true,"is_dir":false,"len":15}})" + nl},
        {{"call", "fs.stat", R"({"path":"../f"})"}, "", 0,
         "{\n  \"exists\": true,\n  \"is_dir\": false,\n  \"len\": 15\n}\n"},
        {{"call", "fs.write", R"({"path":"g"})"}, "body", 0, ""},
        {{"call", "-n", "fs.read", R"({"path":"g"})"}, "not sent", 0, "body"},
        {{"call", "frob"}, "", 1, "", "vesk: frob: unknown method \"frob\"\n"},
        {{"rm", "-r", "b"}, "", 0, ""},
        {{"ls", "."}, "", 0, "B\nC\ng\nm\n"},
        {{"--ssh", "devbox", "--remote-agent", d("my agent"), "hello"}, "", 0, hello},
    };
    // Failures whose text comes from elsewhere, as regular expressions for standard error.
    const std::tuple<std::vector<std::string>, int, std::string> patterns[] = {
        {{"git", "status"}, 128, "fatal: not a git repository.*\n"},
        {{"--agent", "../dead", "stat", "/"}, 1,
         "vesk: agent failed: [\\s\\S]*exited with status 3[\\s\\S]*cannot serve[\\s\\S]*"},
        {{"--agent", "../garbage", "hello"}, 1, "vesk: .*not a valid envelope.*\n"},
        {{"--agent", "../cut", "hello"}, 1, "vesk: .*ended inside a message.*\n"},
        {{"--agent", "../none", "hello"}, 1, "vesk: .+\n"},
        {{"--ssh", "down", "hello"}, 1,
         "vesk: [\\s\\S]*exited with status 255[\\s\\S]*Connection refused[\\s\\S]*"},
    };
    // clang-format on
    for (const auto& [args, code, pattern] : patterns)
        cases.push_back({args, "", code, "", pattern});
    // Usage errors: status 2, the reason, then the usage line and a hint.
    // clang-format off
    const std::pair<std::vector<std::string>, std::string> usage_errors[] = {
        {{}, "missing COMMAND"},
        {{"frob"}, "unknown command \"frob\""},
        {{""}, "unknown command \"\""},
        {{"--frob", "hello"}, "unknown option \"--frob\""},
        {{"--agent", "x", "--ssh", "host", "hello"}, "--agent and --ssh exclude each other"},
        {{"--remote-agent=x", "hello"}, "--remote-agent needs --ssh"},
        {{"--ssh", "-oProxyCommand=x", "hello"},
         "--ssh wants a host name, got \"-oProxyCommand=x\""},
        {{"hello", "extra"}, "hello takes no arguments"},
        {{"cat"}, "cat: missing PATH"},
        {{"ls", "a", "b"}, "ls: too many arguments"},
        {{"rm", "-r"}, "rm: missing PATH"},
        {{"exec", "-C"}, "exec: -C needs a directory"},
        {{"exec", "-n"}, "exec: missing PROGRAM"},
        {{"git", "-e", "=x"}, "git: -e wants NAME=VALUE, got \"=x\""},
        {{"git", "-e"}, "git: -e needs NAME=VALUE"},
        {{"call"}, "call: missing METHOD"},
        {{"call", "fs.stat", "{not json"}, "call: JSON-DATA is not valid JSON"},
        {{"call", "fs.stat", "{}", "x"}, "call: too many arguments"},
        {{"--agent"}, "--agent needs a value"},
    };
    // clang-format on
    for (const auto& [args, reason] : usage_errors)
        cases.push_back({args, "", 2, "",
                         "vesk: " + reason + "\nusage: vesk .*\nTry 'vesk --help' for more\\.\n"});
    const std::size_t exact = cases.size() - std::size(patterns) - std::size(usage_errors);

    const Env env = {{"HOME", home}, {"PATH", d("bin") + ":" + std::getenv("PATH")}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::vector<std::string> argv = {VESK_TOOL_PATH};
        if (c.args.empty() || c.args[0] != "--ssh")
            argv.push_back("--agent=" + std::string(agent_path()));
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        ProcessResult r = run_process(argv, c.input, env, d("a"));
        EXPECT_EQ(r.exit_code(), c.code);
        EXPECT_TRUE(r.out == c.out) << r.out.substr(0, 300);
        if (i < exact)
            EXPECT_EQ(r.err, c.err);
        else
            EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
    }
    EXPECT_EQ(read_file(d("bin/args")), "down\nvesk-agent serve\n");
    // Standard input that is a large regular file is sent as it is read.
    ProcessResult put = run_process(
        {"sh", "-c", "exec \"$0\" --agent=\"$1\" put ../g < ../big", VESK_TOOL_PATH, agent_path()},
        {}, env, d("a"));
    EXPECT_EQ(put.exit_code(), 0) << put.err;
    EXPECT_TRUE(state_of(d("g")) == big);
    ProcessResult help = run_process({VESK_TOOL_PATH, "--help"});
    EXPECT_EQ(help.exit_code(), 0);
    EXPECT_EQ(help.out.rfind("usage: vesk [--agent PATH", 0), 0u);
}

TEST(VeskCli, SshCommandIsQuotedForTheRemoteShell) {
    using vesk::client::ssh_start;
    EXPECT_EQ(ssh_start("box").argv, (std::vector<std::string>{"ssh", "box", "vesk-agent serve"}));
    EXPECT_EQ(ssh_start("box", "it's").argv[2], "'it'\\''s' serve");
    EXPECT_EQ(ssh_start("box", "~/my bin/a").argv[2], "~/'my bin/a' serve");
    EXPECT_THROW(ssh_start("-oProxyCommand=x"), std::invalid_argument);
}

TEST(VeskCli, TheAgentIsFoundBesideTheToolOrAboveItsBuildDirectory) {
    TempDir dir;
    for (const char* sub : {"client", "other"}) ::mkdir((dir / sub).c_str(), 0755);
    write_file(dir / "vesk-agent", "");
    EXPECT_FALSE(vesk::cli::find_agent_beside(dir / "vesk")) << "not executable";
    ::chmod((dir / "vesk-agent").c_str(), 0755);
    EXPECT_EQ(vesk::cli::find_agent_beside(dir / "vesk"), dir / "vesk-agent");
    EXPECT_EQ(vesk::cli::find_agent_beside(dir / "client/vesk"), dir / "vesk-agent");
    EXPECT_FALSE(vesk::cli::find_agent_beside(dir / "other/vesk"));
    EXPECT_FALSE(vesk::cli::find_agent_beside("vesk"));
    EXPECT_EQ(vesk::cli::ProgressBar::render("receiving", 4u << 20, 8u << 20, 2.0),
              "receiving [###############               ] 4.0 MiB / 8.0 MiB  2.0 MiB/s");
    EXPECT_EQ(vesk::cli::human_bytes(1048063), "1023.5 KiB");
}

TEST(VeskCli, WatchPrintsATimestampedLinePerChangeUntilInterrupted) {
    TempDir tmp;
    const std::string repo = tmp / "repo";
    make_repo(repo);
    Proc vesk({{VESK_TOOL_PATH, "--agent", agent_path(), "watch", repo}, {}, {}});
    for (int i = 0; i < 30 && vesk.out().empty(); ++i) {  // until the watch has started
        write_file(repo + "/u" + std::to_string(i), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ::kill(vesk.pid(), SIGINT);
    EXPECT_EQ(vesk.finish(), 0);
    const std::string out = vesk.out();
    EXPECT_TRUE(std::regex_match(out.substr(0, out.find('\n')),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  changed  )" + repo)))
        << out;
    // SIGTERM ends it as quietly, once it runs (its agent has started).
    Proc quiet({{VESK_TOOL_PATH, "--agent", agent_path(), "watch", repo}, {}, {}});
    for (int i = 0; i < 500 && children_of(quiet.pid()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(quiet.pid(), SIGTERM);
    EXPECT_EQ(quiet.finish(), 0);
}

}  // namespace
