#include "vesk_wire/count_lines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/harness.h"

namespace vesk {
namespace {

using vesk::test::TempDir;
using vesk::test::write_file;

std::string text_of_size(std::size_t n) {
    std::string s(n, 'x');
    for (std::size_t i = 79; i < n; i += 80) s[i] = '\n';
    return s;
}

std::size_t lf_count(const std::string& s) {
    std::size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

struct ContentCase {
    const char* name;
    std::string content;
    std::optional<std::uint32_t> expected;
};

TEST(CountLines, ContentTable) {
    std::string limit = text_of_size(kMaxCountFileSize);
    std::string nul_in_probe = text_of_size(9000);
    nul_in_probe[kNulProbeLen - 1] = '\0';
    std::string nul_after_probe = text_of_size(9000);
    nul_after_probe[kNulProbeLen] = '\0';
    // Counts here are worked out by hand from the content, not by the code under test.
    const ContentCase cases[] = {
        {"empty", "", 0},
        {"two terminated lines", "a\nb\n", 2},
        {"unterminated last line", "a\nb", 2},
        {"lone LF", "\n", 1},
        {"two LFs", "\n\n", 2},
        {"no LF at all", "abc", 1},
        {"CR LF", "a\r\nb\r\nc\r\n", 3},
        {"CR LF without final LF", "a\r\nb", 2},
        {"lone CRs are not line ends", "a\rb\rc", 1},
        {"invalid UTF-8 is still text", "\xff\xfe\n\xc3\n", 2},
        {"NUL at byte 0", std::string("\0a\n", 3), std::nullopt},
        {"NUL at the last probed byte", nul_in_probe, std::nullopt},
        {"NUL only past the probe", nul_after_probe, 9000 / 80 + 1},
        {"exactly the size limit", limit, lf_count(limit)},
        {"one byte over the limit", limit + "x", std::nullopt},
    };
    TempDir dir;
    for (const ContentCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir / "f";
        write_file(path, c.content);
        EXPECT_EQ(count_lines(path), c.expected);
    }
}

TEST(CountLines, LongContentCountsEveryLine) {
    // Lengths around the vector width and its 255-step flush catch off-by-one in the fast loop.
    for (std::size_t n : {15u, 16u, 17u, 4079u, 4080u, 4081u, 70000u}) {
        std::string s(n, '\n');
        EXPECT_EQ(count_lines_in(s), n) << n;
        s.back() = 'x';
        EXPECT_EQ(count_lines_in(s), n) << n;  // n-1 LFs plus the open line
    }
}

TEST(CountLines, WhatIsNotARegularFile) {
    TempDir dir;
    write_file(dir / "file", "one\ntwo\n");
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);

    EXPECT_EQ(count_lines(dir / "link"), 2u);
    EXPECT_EQ(count_lines(dir / "dangling"), std::nullopt);
    EXPECT_EQ(count_lines(dir / "missing"), std::nullopt);
    EXPECT_EQ(count_lines(dir / "sub"), std::nullopt);
    EXPECT_EQ(count_lines(dir / "fifo"), std::nullopt);  // must not block
    EXPECT_EQ(count_lines(dir.path() + "/file" + std::string(1, '\0')), std::nullopt);
    EXPECT_EQ(count_lines("/dev/null"), std::nullopt);
}

}  // namespace
}  // namespace vesk
