#include "agent/text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "agent/unicode_table.h"

namespace vesk {
namespace {

using namespace std::string_literals;

const std::string kFffd = "\xEF\xBF\xBD";

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

struct LossyCase {
    const char* what;
    std::string in;
    std::string out;
};

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    const std::string ascii16 = "abcdefghijklmnop";
    const LossyCase cases[] = {
        {"empty", "", ""},
        {"ascii", "hello, world", "hello, world"},
        {"two- to four-byte characters", "h\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80",
         "h\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
        {"largest code point and noncharacters", "\xF4\x8F\xBF\xBF\xEF\xBF\xBF",
         "\xF4\x8F\xBF\xBF\xEF\xBF\xBF"},
        {"embedded NUL", "a\0b"s, "a\0b"s},
        {"truncated four-byte then letter",
         "\xF0\x9F\x98"
         "A",
         kFffd + "A"},
        {"surrogate", "\xED\xA0\x80", repeat(kFffd, 3)},
        {"overlong slash", "\xC0\xAF", repeat(kFffd, 2)},
        {"overlong three-byte", "\xE0\x80\x80", repeat(kFffd, 3)},
        {"above U+10FFFF", "\xF4\x90\x80\x80", repeat(kFffd, 4)},
        {"lone continuation", "\x80", kFffd},
        {"bytes that never occur", "\xF5\xFE\xFF", repeat(kFffd, 3)},
        {"truncated at end", "ok\xE2\x82", "ok" + kFffd},
        {"lead byte followed by ASCII",
         "\xC2"
         "b",
         kFffd + "b"},
        {"mixed sample",
         "a\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d",
         "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
        {"invalid byte after a long ASCII run", ascii16 + "\xFF" + ascii16,
         ascii16 + kFffd + ascii16},
        {"multibyte straddling an 8-byte block", "abcdef\xE6\x97\xA5xyz\xFF",
         "abcdef\xE6\x97\xA5xyz" + kFffd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(utf8_lossy(c.in), c.out);
        EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out);
        EXPECT_TRUE(is_valid_utf8(utf8_lossy(c.in)));
    }
}

TEST(Utf8Lossy, LargeValidInputIsUnchanged) {
    const std::string big = repeat("line of text \xC3\xA9\xE6\x97\xA5\n", 100000);
    EXPECT_TRUE(is_valid_utf8(big));
    EXPECT_EQ(utf8_lossy(big), big);
}

struct QuoteCase {
    const char* what;
    std::string in;
    std::string out;
};

TEST(DebugQuote, EscapesExactlyTheNonPrintable) {
    const QuoteCase cases[] = {
        {"empty", "", R"("")"},
        {"method name", "fs.read", R"("fs.read")"},
        {"apostrophe and space", "it's a b", R"("it's a b")"},
        {"quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
        {"short escapes", "\0\t\n\r"s, R"("\0\t\n\r")"},
        {"escape character", "\x1b[0m", R"("\u{1b}[0m")"},
        {"other C0 control", "\x01", R"("\u{1}")"},
        {"delete", "\x7f", R"("\u{7f}")"},
        {"C1 control U+0085", "\xC2\x85", R"("\u{85}")"},
        {"no-break space (Zs)",
         "a\xC2\xA0"
         "b",
         R"("a\u{a0}b")"},
        {"ideographic space (Zs)", "\xE3\x80\x80", R"("\u{3000}")"},
        {"line separator (Zl)", "\xE2\x80\xA8", R"("\u{2028}")"},
        {"zero width space (Cf)", "\xE2\x80\x8B", R"("\u{200b}")"},
        {"byte order mark (Cf)", "\xEF\xBB\xBF", R"("\u{feff}")"},
        {"combining acute accent", "e\xCC\x81", R"("e\u{301}")"},
        {"spacing mark with Grapheme_Extend", "\xE0\xA6\xBE", R"("\u{9be}")"},
        {"variation selector in plane 14", "\xF3\xA0\x84\x80", R"("\u{e0100}")"},
        {"unassigned U+0378", "\xCD\xB8", R"("\u{378}")"},
        {"private use", "\xEE\x80\x80", R"("\u{e000}")"},
        {"last code point", "\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},
        {"letters stay", "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC",
         "\"\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC\""},
        {"emoji stays", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        {"spacing mark without Grapheme_Extend stays", "\xE0\xA4\x83", "\"\xE0\xA4\x83\""},
        {"invalid bytes become U+FFFD",
         "a\xFF"
         "b",
         "\"a" + kFffd + "b\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(debug_quote(c.in), c.out);
    }
}

TEST(UnicodeTable, Boundaries) {
    const std::pair<char32_t, bool> cases[] = {
        {0x00, true},    {0x1F, true},     {0x20, false},  {0x7E, false},    {0x7F, true},
        {0x9F, true},    {0xA0, true},     {0xA1, false},  {0xAD, true},     {0xD800, true},
        {0xDFFF, true},  {0xFFFD, false},  {0xFFFE, true}, {0x10FFFF, true}, {0x110000, true},
        {0x4E00, false}, {0x1F600, false}, {0x3000, true}, {0x200D, true},   {0x41, false},
    };
    for (const auto& [cp, escaped] : cases) {
        EXPECT_EQ(needs_unicode_escape(cp), escaped) << std::hex << static_cast<unsigned>(cp);
    }
}

TEST(TrimUnicodeWhitespace, StripsWhiteSpaceAtBothEndsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"  abc  ", "abc"},
        {"\t\n\v\f\r git version 2.39.2\r\n", "git version 2.39.2"},
        {" a b\nc ", "a b\nc"},
        {" \t\n ", ""},
        {"\xC2\x85x\xC2\xA0", "x"},
        {"\xE1\x9A\x80x\xE2\x80\x80", "x"},
        {"\xE2\x80\x8Ax\xE2\x80\xA8", "x"},
        {"\xE2\x80\xA9x\xE2\x80\xAF", "x"},
        {"\xE2\x81\x9Fx\xE3\x80\x80", "x"},
        {"\xE3\x80\x80 \xC2\xA0", ""},
        // Not White_Space: zero width space, zero width non-joiner, Mongolian vowel separator.
        {"\xE2\x80\x8Bx\xE2\x80\x8C", "\xE2\x80\x8Bx\xE2\x80\x8C"},
        {"\xE1\xA0\x8E", "\xE1\xA0\x8E"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(trim_unicode_whitespace(in), out) << debug_quote(in);
    }
}

}  // namespace
}  // namespace vesk
