#include "linecount/count_lines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>

#include "support/harness.h"

namespace vesk {
namespace {

using vesk::test::TempDir;
using vesk::test::write_file;

TEST(CountLines, EdgeTable) {
    // All LF bytes: every vector lane matches at every step, so a counter that wraps between
    // flushes shows; the size limit is in file bytes, counted from the file's status.
    const std::string limit(kMaxCountFileSize, '\n');
    std::string nul_early(9000, '\n'), nul_late = nul_early;
    nul_early[kNulProbeLen - 1] = nul_late[kNulProbeLen] = '\0';
    const struct {
        const char* name;
        std::string content;  // of the file "f"
        std::optional<std::uint32_t> expected;
        std::string_view path = "f";
    } cases[] = {
        {"empty", "", 0},
        {"final line without LF", "a\nb", 2},
        {"CR is an ordinary byte", "a\r\nb\rc\r\n", 2},
        {"NUL at the last probed byte", nul_early, std::nullopt},
        {"NUL only past the probe", nul_late, 8999},
        {"exactly the size limit", limit, 1000000},
        {"one byte over the limit", limit + "\n", std::nullopt},
        {"a link to it is followed", "a\n", 1, "link"},
        {"a NUL ends no path early", "a\n", std::nullopt, std::string_view("f\0", 2)},
        {"a named pipe is not opened", "a\n", std::nullopt, "fifo"},  // nor blocked on
    };
    TempDir dir;
    ASSERT_EQ(::symlink("f", (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const auto& c : cases) {
        write_file(dir / "f", c.content);
        EXPECT_EQ(count_lines(dir / c.path), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace vesk
