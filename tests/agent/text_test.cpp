// Edge tables for the text helpers: where maximal invalid subparts end, which characters the
// quoted form escapes (one or more of each Unicode category concerned; the short escapes are in
// the parameter tests), what counts as white space at either end.
#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vesk {
namespace {

using namespace std::string_literals;
using Cases = std::pair<std::string, std::string>[];

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpartOnce) {
    const std::string a16 = "abcdefghijklmnop";
    for (const auto& [in, out] : Cases{
             {"h\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBF\0"s,
              "h\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBF\0"s},
             {"\xF0\x9F\x98"s + "A", R + "A"},
             // surrogate, overlongs, above U+10FFFF, lone continuation, bytes that never occur
             {"\xED\xA0\x80|\xC0\xAF|\xE0\x80\x80|\xF4\x90\x80\x80|\x80|\xF5\xFE\xFF",
              R + R + R + "|" + R + R + "|" + R + R + R + "|" + R + R + R + R + "|" + R + "|" + R +
                  R + R},
             {"ok\xE2\x82", "ok" + R},
             {"\xC2"s + "b", R + "b"},
             {"a\xF1\x80\x80\xE1\x80\xC2"s + "b\x80" + "c\x80\xBF" + "d",
              "a" + R + R + R + "b" + R + "c" + R + R + "d"},
             {a16 + "\xFF" + a16, a16 + R + a16},
             {"abcdef\xE6\x97\xA5xyz\xFF", "abcdef\xE6\x97\xA5xyz" + R},
         }) {
        EXPECT_EQ(utf8_lossy(in), out) << debug_quote(in);
        EXPECT_EQ(is_valid_utf8(in), in == out) << debug_quote(in);
    }
}

TEST(DebugQuote, EscapesExactlyTheNonPrintableAndGraphemeExtending) {
    for (const auto& [in, out] : Cases{
             {"", R"("")"},
             {"\x1b[0m\x01\x7f", R"("\u{1b}[0m\u{1}\u{7f}")"},                            // Cc
             {"\xC2\x85 a\xC2\xA0\xE3\x80\x80", R"("\u{85} a\u{a0}\u{3000}")"},           // Cc, Zs
             {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},                       // Zl, Zp
             {"\xE2\x80\x8B\xEF\xBB\xBF\xC2\xAD", R"("\u{200b}\u{feff}\u{ad}")"},         // Cf
             {"e\xCC\x81\xE0\xA6\xBE\xF3\xA0\x84\x80", R"("e\u{301}\u{9be}\u{e0100}")"},  // marks
             {"\xCD\xB8\xEF\xBF\xBE\xEE\x80\x80", R"("\u{378}\u{fffe}\u{e000}")"},        // Cn, Co
             {"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},
             {"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xE0\xA4\x83~",
              "\"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xE0\xA4\x83~\""},
             {"a\xFF"s + "b" + R, "\"a" + R + "b" + R + "\""},
         }) {
        EXPECT_EQ(debug_quote(in), out);
    }
}

TEST(TrimUnicodeWhitespace, StripsWhiteSpaceAtBothEndsOnly) {
    for (const auto& [in, out] : Cases{
             {"", ""},
             {"\t\n\v\f\r git version 2.39.2\r\n", "git version 2.39.2"},
             {" a b\nc ", "a b\nc"},
             {" \t\n ", ""},
             {"\xC2\x85\xE1\x9A\x80\xE2\x80\x8A\xE2\x80\xA9\xE2\x81\x9Fx", "x"},
             {"x\xC2\xA0\xE2\x80\x80\xE2\x80\xA8\xE2\x80\xAF\xE3\x80\x80", "x"},
             {"\x08x\x0E\x1F", "\x08x\x0E\x1F"},
             // Not White_Space: zero width space and non-joiner, Mongolian vowel separator.
             {"\xE2\x80\x8Bx\xE2\x80\x8C\xE1\xA0\x8E", "\xE2\x80\x8Bx\xE2\x80\x8C\xE1\xA0\x8E"},
         }) {
        EXPECT_EQ(trim_unicode_whitespace(in), out) << debug_quote(in);
    }
}

}  // namespace
}  // namespace vesk
