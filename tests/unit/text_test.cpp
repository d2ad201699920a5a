// Edge tables for the text helpers and the parameter decoder's wording: where maximal invalid
// subparts end, which characters the quoted form escapes, what counts as white space at
// either end, and how offending values are described.
#include <gtest/gtest.h>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "agent/params.h"
#include "common/text.h"

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

// The parameter decoder's descriptions of offending values that end-to-end tables would not
// hold: numbers at their limits, floats in every notation, quoted strings, nested members.
using json = nlohmann::json;

template <auto decode>
std::string error_of(const char* data) {
    return decode(json::parse(data)).error;
}

TEST(ParamsDecoding, DescribesTheOffendingValueExactly) {
    const auto path_error = [](json v) { return decode_path_params({{"path", v}}).error; };
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, std::string> cases[] = {
        {path_error(18446744073709551615u), "integer `18446744073709551615`"},
        {path_error(INT64_MIN), "integer `-9223372036854775808`"},
        {path_error(1.5), "floating point `1.5`"},
        {path_error(-0.0), "floating point `-0.0`"},
        {path_error(1e-7), "floating point `0.0000001`"},
        {path_error(1e22), "floating point `10000000000000000000000.0`"},
        {path_error(-5e-324), "floating point `-0." + std::string(323, '0') + "5`"},
        {path_error(inf), "floating point `inf`"},
        {path_error(std::nan("")), "floating point `NaN`"},
        {decode_count_params({{"paths", "a\"b\\c\n\t\r\0\x1b\xC2\xA0\xCC\x81it's\xC3\xA9"s}}).error,
         "string \"a\\\"b\\\\c\\n\\t\\r\\0\\u{1b}\\u{a0}\\u{301}it's\xC3\xA9\", expected a "
         "sequence"},
        {path_error(json::object()), "map"},
        {error_of<decode_count_params>(R"({"paths": ["a", ["b"]]})"), "sequence"},
        {error_of<decode_exec_params>(R"(["/", "ls", ["-l", false]])"), "boolean `false`"},
        {error_of<decode_git_params>(R"({"env": [["A", "B"], [null, "B"]]})"), "null"},
        {error_of<decode_git_params>(R"(["/", [], ["A=B"]])"),
         "string \"A=B\", expected a tuple of size 2"},
        {error_of<decode_git_params>(R"(["/", [], [["A", "B"], {"A": "B"}]])"),
         "map, expected a tuple of size 2"},
        {error_of<decode_git_params>(R"(["/", [], [[]]])"),
         "invalid length 0, expected a tuple of size 2"},
        {error_of<decode_git_params>(R"(["/", [], [["A", "B", 5]]])"),
         "invalid length 3, expected fewer elements in array"},
        // Records of the wrong shape, and missing fields.
        {decode_path_params(nullptr).error, "null, expected struct PathParams"},
        {decode_path_params({{"recursive", 1}}).error, "integer `1`, expected a boolean"},
        {decode_path_params(json::array()).error,
         "invalid length 0, expected struct PathParams with 2 elements"},
        {decode_path_params({"f", true, 3}).error,
         "invalid length 3, expected fewer elements in array"},
        {decode_exec_params({"/", "ls"}).error,
         "invalid length 2, expected struct ExecParams with 3 elements"},
        {decode_exec_params({{"cwd", "/"}, {"program", "ls"}}).error, "missing field `args`"},
        {error_of<decode_git_params>(R"({"cwd": "/", "args": [], "env": null})"),
         "null, expected a sequence"},
    };
    for (const auto& [got, message] : cases) {
        // Most rows describe a value where a string was expected.
        std::string want = message.starts_with("invalid length") || message.starts_with("missing")
                               ? message
                               : "invalid type: " + message;
        if (want.find(", expected") == std::string::npos && !message.starts_with("missing"))
            want += ", expected a string";
        EXPECT_EQ(got, "bad params: " + want);
    }
}

}  // namespace
}  // namespace vesk
