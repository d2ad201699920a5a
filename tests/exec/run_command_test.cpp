// run_command driven directly, with /bin/sh scripts and small tools as controlled children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/exec/capture_limits.h"
#include "agent/exec/run_command.h"
#include "support/harness.h"

namespace vesk {
namespace {

using test::os_error;
using test::TempDir;

ChildSpec sh(std::string script, std::optional<std::string> cwd = std::nullopt) {
    return ChildSpec{"/bin/sh", {"-c", std::move(script)}, std::move(cwd), {}};
}

// Runs and expects a CommandOutput (not a failure text).
CommandOutput run_ok(const ChildSpec& desc, std::string_view input = {}) {
    CommandResult r = run_command(desc, Bytes(input));
    if (auto* text = std::get_if<std::string>(&r)) {
        ADD_FAILURE() << "unexpected failure text: " << *text;
        return {};
    }
    return std::move(std::get<CommandOutput>(r));
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

// True when this process has a child that has ended but was not reaped, or any child at all
// that is still running.
bool has_children() {
    int status;
    pid_t r = ::waitpid(-1, &status, WNOHANG);
    return !(r < 0 && errno == ECHILD);
}

TEST(RunCommand, InputArrivesExactlyThenEndOfFile) {
    std::string input = pattern(3 * 1024 * 1024 + 17);
    CommandOutput out = run_ok(ChildSpec{"cat", {}, std::nullopt, {}}, input);
    EXPECT_EQ(out.code, 0);
    EXPECT_TRUE(out.stdout_bytes.view() == input) << "got " << out.stdout_bytes.size();
}

TEST(RunCommand, EmptyInputIsTheNullDevice) {
    CommandOutput out = run_ok(sh("readlink /proc/self/fd/0; cat; echo end"));
    EXPECT_EQ(out.stdout_bytes.str(), "/dev/null\nend\n");
}

TEST(RunCommand, ChildIgnoringLargeInputStillAnswers) {
    CommandOutput out = run_ok(ChildSpec{"true", {}, std::nullopt, {}}, pattern(4 << 20));
    EXPECT_EQ(out.code, 0);
    EXPECT_TRUE(out.stdout_bytes.empty());
}

TEST(RunCommand, InputKeepsFlowingAfterTheChildClosesItsOutputs) {
    TempDir dir;
    std::string input = pattern(4 << 20);
    CommandOutput out = run_ok(sh("exec >/dev/null 2>&1; wc -c > count", dir.path()), input);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(test::read_file(dir / "count"), std::to_string(input.size()) + "\n");
}

TEST(RunCommand, BothStreamsLargeAtOnce) {
    // Each stream is far beyond a pipe buffer, so draining one at a time would deadlock.
    CommandOutput out =
        run_ok(sh("head -c 9000000 /dev/zero >&2 & head -c 12000000 /dev/zero;"
                  " wait"));
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(out.stdout_bytes.size(), 12000000u);
    EXPECT_EQ(out.stderr_text.size(), 9000000u);
    EXPECT_EQ(out.stdout_bytes.view().find_first_not_of('\0'), std::string_view::npos);
}

TEST(RunCommand, StartFailuresAreOutputsWithTheSystemText) {
    TempDir dir;
    test::write_file(dir / "plain", "#!/bin/sh\necho hi\n");
    ::chmod((dir / "plain").c_str(), 0644);
    test::write_file(dir / "file", "");
    const std::string nul_text = "nul byte found in provided data";
    using Env = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* name;
        ChildSpec desc;
        std::string text;
    } cases[] = {
        {"missing program", {"vesk-no-such-program", {}, std::nullopt, {}}, os_error(ENOENT)},
        {"missing path", {dir / "absent", {}, std::nullopt, {}}, os_error(ENOENT)},
        {"not executable", {dir / "plain", {}, std::nullopt, {}}, os_error(EACCES)},
        {"empty program", {"", {}, std::nullopt, {}}, os_error(ENOENT)},
        {"missing cwd", {"true", {}, dir / "absent", {}}, os_error(ENOENT)},
        {"empty cwd", {"true", {}, std::string(), {}}, os_error(ENOENT)},
        {"cwd is a file", {"true", {}, dir / "file", {}}, os_error(ENOTDIR)},
        {"nul in program", {std::string("tr\0ue", 5), {}, std::nullopt, {}}, nul_text},
        {"nul in argument", {"echo", {"a", std::string("b\0c", 3)}, std::nullopt, {}}, nul_text},
        {"nul in cwd", {"true", {}, std::string("/\0tmp", 5), {}}, nul_text},
        {"nul in env name",
         {"true", {}, std::nullopt, Env{{std::string("A\0B", 3), "v"}}},
         nul_text},
        {"nul in env value",
         {"true", {}, std::nullopt, Env{{"A", std::string("v\0w", 3)}}},
         nul_text},
    };
    for (auto& c : cases) {
        CommandOutput out = run_ok(c.desc, "some input");
        EXPECT_EQ(out.code, -1) << c.name;
        EXPECT_EQ(out.stderr_text, c.text) << c.name;
        EXPECT_TRUE(out.stdout_bytes.empty()) << c.name;
    }
    EXPECT_FALSE(has_children());
}

TEST(RunCommand, EnvironmentSettingsApplyInOrderOnTopOfTheInheritedOne) {
    ::setenv("VESK_TEST_INHERITED", "kept", 1);
    ::setenv("VESK_TEST_REPLACED", "old", 1);
    ChildSpec desc = sh(R"(printf '%s|%s|%s|%s|' "$VESK_TEST_INHERITED" "$VESK_TEST_REPLACED" )"
                        R"("$VESK_TEST_A" "$VESK_TEST_B"; env | grep -c '^VESK_TEST_REPLACED=')");
    desc.env = {{"VESK_TEST_A", "1"},
                {"VESK_TEST_REPLACED", "new"},
                {"VESK_TEST_B", "2"},
                {"VESK_TEST_A", "3"}};
    CommandOutput out = run_ok(desc);
    EXPECT_EQ(out.stdout_bytes.str(), "kept|new|3|2|1\n");
    ::unsetenv("VESK_TEST_INHERITED");
    ::unsetenv("VESK_TEST_REPLACED");
}

TEST(RunCommand, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    // The agent ignores SIGPIPE; an ignored disposition would survive exec unless reset.
    struct sigaction ignore {};
    struct sigaction old_pipe {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old_pipe);
    sigset_t block;
    sigset_t old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask);

    CommandOutput out =
        run_ok(ChildSpec{"grep", {"-E", "^Sig(Ign|Blk)", "/proc/self/status"}, std::nullopt, {}});

    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGPIPE, &old_pipe, nullptr);
    std::string text = out.stdout_bytes.str();
    ASSERT_EQ(text.size(), 50u) << text;
    unsigned long long blocked = std::stoull(text.substr(8, 16), nullptr, 16);
    unsigned long long ignored = std::stoull(text.substr(33, 16), nullptr, 16);
    EXPECT_EQ(blocked, 0u);
    // The C library keeps its two internal real-time signals (32 and 33) to itself.
    const unsigned long long internal = (1ull << 31) | (1ull << 32);
    EXPECT_EQ(ignored & ~internal, 0u) << text;
}

TEST(RunCommand, ChildSeesOnlyItsThreeStreamsWhileOtherRunsHoldPipes) {
    // Another run holds its stdin, stdout and stderr pipes open meanwhile, and a descriptor
    // without close-on-exec (as a careless parent of the agent might leave) is open too.
    std::thread other([] { run_ok(sh("sleep 1"), "unread input"); });
    int inherited = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inherited, 0);
    ::usleep(100 * 1000);
    for (int i = 0; i < 5; ++i) {
        CommandOutput out = run_ok(ChildSpec{"ls", {"/proc/self/fd"}, std::nullopt, {}}, "in");
        // ls itself holds the directory it lists open, as descriptor 3.
        EXPECT_EQ(out.stdout_bytes.str(), "0\n1\n2\n3\n");
    }
    ::close(inherited);
    other.join();
}

struct LimitCase {
    const char* name;
    std::string script;
    CaptureLimits limits;
    bool too_large;
};

TEST(RunCommand, OutputPastTheLimitKillsAndReapsTheChild) {
    LimitCase cases[] = {
        {"stdout at the limit", "head -c 1000 /dev/zero", {1000, 1000}, false},
        {"stdout past the limit", "head -c 1001 /dev/zero; exec sleep 60", {1000, 1000}, true},
        {"stderr at the limit", "head -c 1000 /dev/zero >&2", {1000, 1000}, false},
        {"stderr past the limit", "head -c 5000 /dev/zero >&2; exec sleep 60", {1000, 1000}, true},
        {"large stdout past a larger limit",
         "exec head -c 50000000 /dev/zero",
         {20000000, 1000},
         true},
    };
    for (auto& c : cases) {
        CommandResult r = run_command(sh(c.script), Bytes(), c.limits);
        if (c.too_large) {
            ASSERT_TRUE(std::holds_alternative<std::string>(r)) << c.name;
            EXPECT_EQ(std::get<std::string>(r), os_error(EMSGSIZE)) << c.name;
        } else {
            ASSERT_TRUE(std::holds_alternative<CommandOutput>(r)) << c.name;
            EXPECT_EQ(std::get<CommandOutput>(r).code, 0) << c.name;
        }
        EXPECT_FALSE(has_children()) << c.name << ": a child was left behind";
    }
}

}  // namespace
}  // namespace vesk
