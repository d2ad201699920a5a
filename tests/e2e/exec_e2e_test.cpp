// "exec" and "git" through the real agent: one table each of requests and exact replies. git
// is a stand-in first on the search path that reports what it was given; the host's git
// checks that bytes travel unchanged both ways.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/harness.h"

namespace {

using namespace vesk::test;

Row sh(const std::string& script, std::string body, std::string reply, std::string out = "",
       std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-c", script});
    return {"exec", run("/", "/bin/sh", args), body, reply, out};
}
const std::string kNulInData = "nul byte found in provided data";

TEST(ExecE2E, Table) {
    TempDir dir;
    write_script(dir / "tool", "echo \"tool $1\"");
    write_script(dir / "myshell", "echo \"myshell $*\"; exit 3");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string binary("a\0b\xff\n", 5), enoent = os_error(ENOENT);
    std::string err_text, out_text;
    for (int i = 0; i < 400000; ++i) err_text += "e\n", out_text += "o\n";
    std::string long_err;
    while (long_err.size() < 5000000) long_err += "a\"b\\c\n";
    vesk::client::AgentClient agent(
        agent_options({{"HOME", dir.path()}, {"SHELL", dir / "myshell"}}));
    // Held until the table is done: no later run may wait for it or inherit its pipes.
    const std::uint64_t held = agent.send("exec", run(dir.path(), "cat", {"fifo"}), "held input");
    std::vector<Row> rows = {
        sh(R"(for a in "$@"; do printf '[%s]' "$a"; done)", "", done(0),
           "[two words][\"q\" 's'][*][$HOME][]",
           {"zero", "two words", "\"q\" 's'", "*", "$HOME", ""}),
        sh("echo $#", "", done(0), "0\n", {"zero"}),
        sh("cat; echo eof", binary, done(0), binary + "eof\n"),
        sh("cat; echo eof", "", done(0), "eof\n"),
        sh("echo ignored", std::string(1 << 20, 'i'), done(0), "ignored\n"),  // input never read
        sh("echo err >&2; exit 3", "", done(3, "err\n")),
        sh("echo out; exit 255", "", done(255), "out\n"),
        sh(R"(printf 'ok\377\376'; printf 'bad\377\376' >&2)", "", done(0, "bad\uFFFD\uFFFD"),
           "ok\xff\xfe"),
        sh("(sleep 0.5; echo late; echo late >&2) & echo early", "", done(0, "late\n"),
           "early\nlate\n"),
        // Both streams far beyond a pipe's buffer, the one read second written first.
        sh("yes e | head -c 800000 >&2; yes o | head -c 800000", "", done(0, err_text), out_text),
        // Long enough to leave the header's own buffer, escapes and a repair at its end.
        sh(R"(yes 'a"b\c' | head -c 5000000 >&2; printf '\001\377' >&2)", "",
           done(0, long_err.substr(0, 5000000) + "\x01\uFFFD")),
        {"exec", run(dir / "sub", "../tool", {"up"}), "", done(0), "tool up\n"},
        {"exec", run("~/sub", "pwd", {}), "", done(0), dir / "sub\n"},
        {"exec", run("/", "ls", {"/proc/self/fd"}), "input", done(0), "0\n1\n2\n3\n"},
        // No signal blocked or ignored, the C library's own two included.
        {"exec", run("/", "grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}), "", done(0),
         "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"},
        {"exec", run("/", "~/tool", {}), "", done(-1, enoent)},
        {"exec", run(dir / "missing", "true", {}), "input", done(-1, enoent)},
        {"exec", run("", "true", {}), "", done(-1, enoent)},
        {"exec", run("/", "echo", {std::string("a\0b", 3)}), "", done(-1, kNulInData)},
        {"exec", run("/", "$SHELL", {"-c", "exit 3"}), "", done(3), "myshell -c exit 3\n"},
        {"exec", run("/", "$SHELL ", {}), "", done(-1, enoent)},
        {"exec", run("/", "${SHELL}", {}), "", done(-1, enoent)},
    };
    // SIGPIPE included: children start with its default action although the agent ignores it.
    for (std::string sig : {"KILL", "TERM", "HUP", "USR1", "PIPE", "ALRM"})
        rows.push_back(sh("printf partial; kill -" + sig + " $$; exit 7", "", done(-1), "partial"));
    // Parameters that do not decode: the error, and nothing started.
    rows.push_back({"exec",
                    {{"cwd", "/"}, {"program", "touch"}, {"args", {dir / "started", 1}}},
                    "body",
                    err("bad params: invalid type: integer `1`, expected a string")});
    expect_replies(agent, rows);
    EXPECT_FALSE(agent.wait_reply(held, std::chrono::milliseconds(0))) << "answered too early";
    std::ofstream(dir / "fifo") << "slow";
    std::optional<vesk::client::Message> m = agent.wait_reply(held, kWait);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header_text + m->body, "{\"id\":" + std::to_string(held) + done(0) + "slow");
    EXPECT_EQ(state_of(dir / "started"), kGone);

    // "$SHELL" without a usable SHELL variable.
    for (const auto& shell :
         std::vector<std::optional<std::string>>{std::nullopt, "/bin/\xff", ""}) {
        vesk::client::AgentClient a(agent_options({{"SHELL", shell}}));
        expect_replies(a, {shell == "" ? Row{"exec", run("/", "$SHELL", {}), "", done(-1, enoent)}
                                       : Row{"exec", run("/", "$SHELL", {"-c", "echo $0"}), "",
                                             done(0), "/bin/sh\n"}});
    }
}

TEST(GitE2E, Table) {
    TempDir bin, home;
    write_script(
        bin / "git",
        "for a in \"$@\"; do printf '[%s]' \"$a\"; done\n"
        "echo \"|$GIT_TERMINAL_PROMPT|$LC_ALL|$HOME|$(env | grep -c ^LC_ALL=)|$(pwd)|$(cat)\"");
    vesk::client::AgentClient agent(
        agent_options({{"PATH", bin.path() + ":" + std::getenv("PATH")}, {"HOME", home.path()}}));
    const std::string h = home.path();
    // The stand-in's report: its arguments, the environment it sees (the agent's HOME comes
    // through), its directory and its standard input.
    auto seen = [&](const std::string& args, const std::string& env, const std::string& in = "") {
        return args + "|" + env + "|1|" + h + "|" + in + "\n";
    };
    auto git = [&](json env, json args = {"x"}) {
        json data = {{"cwd", h}, {"args", args}};
        if (!env.is_null()) data["env"] = env;
        return data;
    };
    using Pairs = std::vector<std::vector<std::string>>;
    std::vector<Row> rows = {
        {"git", git(nullptr, {"status", "a b", "*"}), "", done(0),
         seen("[status][a b][*]", "0|C|" + h)},
        {"git", git(json::array(), json::array()), "", done(0), seen("", "0|C|" + h)},
        {"git", git(Pairs{{"LC_ALL", "en_US.UTF-8"}}), "", done(0),
         seen("[x]", "0|en_US.UTF-8|" + h)},
        {"git", git(Pairs{{"GIT_TERMINAL_PROMPT", "1"}}), "", done(0), seen("[x]", "1|C|" + h)},
        {"git", git(Pairs{{"HOME", "/1"}, {"LC_ALL", "POSIX"}, {"HOME", "/2"}}), "", done(0),
         seen("[x]", "0|POSIX|/2")},
        {"git",
         {"~", {"x"}, Pairs{{"GIT_TERMINAL_PROMPT", ""}}},
         "in",
         done(0),
         seen("[x]", "|C|" + h, "in")},
        {"git", {{"cwd", h + "/absent"}, {"args", {"x"}}}, "", done(-1, os_error(ENOENT))},
        {"git", git(Pairs{{"A", std::string("b\0c", 3)}}), "", done(-1, kNulInData)},
    };
    rows.push_back({"git", git(json::array({json::array({"A", 1})})), "",
                    err("bad params: invalid type: integer `1`, expected a string")});
    expect_replies(agent, rows);

    // The host's git: binary bytes in and out unchanged.
    vesk::client::AgentClient real(agent_path());
    ASSERT_EQ(run_process({"git", "init", "-q", h}).exit_code(), 0);
    const std::string blob("\x89PNG\r\n\x1a\n\0\xff\xfe binary", 19);
    const std::string id = run_process({"git", "hash-object", "--stdin"}, blob).out;
    expect_replies(real,
                   {{"git", git(nullptr, {"hash-object", "-w", "--stdin"}), blob, done(0), id}});
    expect_replies(
        real, {{"git", git(nullptr, {"cat-file", "blob", id.substr(0, 40)}), "", done(0), blob}});
}

}  // namespace
