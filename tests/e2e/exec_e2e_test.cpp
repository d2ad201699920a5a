// "exec" through the real agent binary.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
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
using namespace std::chrono_literals;

json exec_params(const std::string& cwd, const std::string& program,
                 const std::vector<std::string>& args) {
    return {{"cwd", cwd}, {"program", program}, {"args", args}};
}

Message exec(AgentClient& agent, const std::string& program, const std::vector<std::string>& args,
             std::string_view input = {}, const std::string& cwd = "/") {
    return agent.call("exec", exec_params(cwd, program, args), input);
}

// A success reply, byte for byte: data {"code","stderr"} in that order, and the body.
void expect_outcome(const Message& m, int code, const std::string& stderr_text,
                    const std::string& body, const std::string& what) {
    EXPECT_EQ(m.header_text,
              vesk::test::reply_header(m.id, {{"code", code}, {"stderr", stderr_text}}))
        << what;
    EXPECT_EQ(m.body, body) << what;
}

AgentClient start_agent(std::vector<std::pair<std::string, std::optional<std::string>>> env) {
    StartOptions options;
    options.argv = {vesk::test::agent_path(), "serve"};
    options.env = std::move(env);
    return AgentClient(options);
}

TEST(ExecE2E, ProgramsRunWithTheirArgumentsInputAndExitCode) {
    AgentClient agent(vesk::test::agent_path());
    std::string binary_input("a\0b\xff\n", 5);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        int code;
        std::string out;
        std::string err = "";
    } cases[] = {
        {"arguments unchanged",
         {"-c", R"(for a in "$@"; do printf '[%s]' "$a"; done)", "zero", "two words",
          "\"quoted\" 'single'", "*", "$HOME", ""},
         "",
         0,
         "[two words][\"quoted\" 'single'][*][$HOME][]"},
        {"no arguments", {"-c", "echo $#", "zero"}, "", 0, "0\n"},
        {"input then end of file",
         {"-c", "cat; echo eof"},
         binary_input,
         0,
         binary_input + "eof\n"},
        {"empty input is end of file", {"-c", "cat; echo eof"}, "", 0, "eof\n"},
        {"exit 3 with a complaint", {"-c", "echo err >&2; exit 3"}, "", 3, "", "err\n"},
        {"exit 255", {"-c", "echo out; exit 255"}, "", 255, "out\n"},
        {"killed by a signal", {"-c", "echo before; kill -KILL $$"}, "", -1, "before\n"},
        {"stdout raw, stderr decoded lossily",
         {"-c", R"(printf 'ok\377\376' ; printf 'bad\377\376end' >&2)"},
         "",
         0,
         "ok\xff\xfe",
         "bad\xEF\xBF\xBD\xEF\xBF\xBD"
         "end"},
        {"a background writer holding the pipes delays the reply",
         {"-c", "(sleep 0.5; echo late; echo late >&2) & echo early"},
         "",
         0,
         "early\nlate\n",
         "late\n"},
    };
    for (const auto& c : cases) {
        expect_outcome(exec(agent, "/bin/sh", c.args, c.input), c.code, c.err, c.out, c.what);
    }
}

TEST(ExecE2E, ProgramIsFoundThroughTheSearchPathOrRelativeToCwd) {
    TempDir dir;
    vesk::test::write_file(dir / "tool", "#!/bin/sh\necho \"tool $1\"\n");
    ::chmod((dir / "tool").c_str(), 0755);
    ::mkdir((dir / "sub").c_str(), 0755);
    AgentClient agent = start_agent({{"HOME", dir.path()}});
    expect_outcome(exec(agent, "./tool", {"rel"}, {}, dir.path()), 0, "", "tool rel\n",
                   "relative program");
    expect_outcome(exec(agent, "../tool", {"up"}, {}, dir / "sub"), 0, "", "tool up\n",
                   "relative program with ..");
    expect_outcome(exec(agent, "pwd", {}, {}, "~/sub"), 0, "", dir / "sub" + "\n",
                   "cwd with the home shorthand");
    expect_outcome(exec(agent, "pwd", {}, {}, "~"), 0, "", dir.path() + "\n", "cwd ~");
    // Only the working directory expands the shorthand; a program name keeps it literally.
    expect_outcome(exec(agent, "~/tool", {}, "input"), -1, os_error(ENOENT), "",
                   "program starting with ~");
}

TEST(ExecE2E, ShellPlaceholderFollowsTheAgentsShellVariable) {
    TempDir dir;
    vesk::test::write_file(dir / "myshell", "#!/bin/sh\necho \"myshell $*\"\nexit 3\n");
    ::chmod((dir / "myshell").c_str(), 0755);
    const std::vector<std::string> print_self = {"-c", "echo $0"};
    struct Case {
        const char* what;
        std::optional<std::string> shell;
        std::string program;
        std::vector<std::string> args;
        int code;
        std::string stderr_text;
        std::string out;
    } cases[] = {
        {"SHELL names a shell",
         dir / "myshell",
         "$SHELL",
         {"-c", "exit 3"},
         3,
         "",
         "myshell -c exit 3\n"},
        {"SHELL unset", std::nullopt, "$SHELL", print_self, 0, "", "/bin/sh\n"},
        {"SHELL not UTF-8", std::string("/bin/\xff"), "$SHELL", print_self, 0, "", "/bin/sh\n"},
        {"SHELL empty", std::string(), "$SHELL", print_self, -1, os_error(ENOENT), ""},
        {"longer text is literal", dir / "myshell", "$SHELL ", print_self, -1, os_error(ENOENT),
         ""},
        {"braces are literal", dir / "myshell", "${SHELL}", print_self, -1, os_error(ENOENT), ""},
        {"lower case is literal", dir / "myshell", "$shell", print_self, -1, os_error(ENOENT), ""},
    };
    for (const auto& c : cases) {
        AgentClient agent = start_agent({{"SHELL", c.shell}});
        expect_outcome(exec(agent, c.program, c.args), c.code, c.stderr_text, c.out, c.what);
    }
}

TEST(ExecE2E, ConcurrentRunsDoNotHoldEachOthersPipes) {
    AgentClient agent(vesk::test::agent_path());
    // The first run keeps its three pipes open for a while; runs started meanwhile must not
    // inherit them (or their replies would wait for it) and must see only their own streams.
    std::uint64_t slow =
        agent.send("exec", exec_params("/", "/bin/sh", {"-c", "sleep 3; echo slow"}), "held input");
    std::this_thread::sleep_for(200ms);
    for (int i = 0; i < 3; ++i) {
        // ls holds the directory it lists open, as descriptor 3.
        expect_outcome(exec(agent, "ls", {"/proc/self/fd"}, "input"), 0, "", "0\n1\n2\n3\n",
                       "descriptors of a child");
    }
    EXPECT_FALSE(agent.wait_reply(slow, 0ms).has_value()) << "slow run answered too early";
    std::optional<Message> late = agent.wait_reply(slow, 20s);
    ASSERT_TRUE(late.has_value());
    expect_outcome(*late, 0, "", "slow\n", "slow run");
}

// The parameter texts are checked by the decoding unit tests; here, that nothing starts.
TEST(ExecE2E, BadParamsStartNothing) {
    TempDir dir;
    AgentClient agent(vesk::test::agent_path());
    std::string marker = dir / "started";
    for (const json& data : {json{{"cwd", "/"}, {"program", "touch"}, {"args", {marker, 1}}},
                             json::array({"/", "touch"})}) {
        Message m = agent.call("exec", data);
        ASSERT_TRUE(m.error) << data.dump();
        EXPECT_EQ(m.error->rfind("bad params: ", 0), 0u) << *m.error;
        EXPECT_TRUE(m.body.empty());
    }
    EXPECT_FALSE(vesk::test::path_exists(marker));
}

}  // namespace
