// run_command's capture limits, which only gigabytes of output would reach end to end: past a
// limit the child is killed and reaped, and the run fails with "Message too long".
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>

#include "agent/exec/capture_limits.h"
#include "support/harness.h"

namespace vesk {
namespace {

TEST(RunCommand, OutputPastTheCaptureLimitKillsAndReapsTheChild) {
    const struct {
        const char* script;
        CaptureLimits limits;
        bool too_long;
    } cases[] = {
        {"head -c 1000 /dev/zero", {1000, 1000}, false},
        {"head -c 1001 /dev/zero; exec sleep 60", {1000, 1000}, true},
        {"head -c 1000 /dev/zero >&2", {1000, 1000}, false},
        {"head -c 1001 /dev/zero >&2; exec sleep 60", {1000, 1000}, true},
        {"exec head -c 50000000 /dev/zero", {20000000, 1000}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const RunResult r = run_command({"/bin/sh", {"-c", c.script}, {}, {}}, {}, c.limits);
        if (c.too_long) {
            ASSERT_TRUE(std::holds_alternative<std::string>(r));
            EXPECT_EQ(std::get<std::string>(r), test::os_error(EMSGSIZE));
        } else {
            ASSERT_TRUE(std::holds_alternative<ChildOutput>(r));
            const ChildOutput& out = std::get<ChildOutput>(r);
            EXPECT_EQ(out.code, 0);
            EXPECT_EQ(out.stdout_bytes.size() + out.stderr_text.size(), 1000u);
        }
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
    }
}

}  // namespace
}  // namespace vesk
