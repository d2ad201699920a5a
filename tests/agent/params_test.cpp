// The parameter decoder's descriptions of offending values that end-to-end tables would not
// hold: numbers at their limits, floats in every notation, quoted strings, nested members.
#include "agent/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace vesk {
namespace {

using json = nlohmann::json;
using namespace std::string_literals;

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
        {path_error(1.0), "floating point `1.0`"},
        {path_error(-0.0), "floating point `-0.0`"},
        {path_error(1e-7), "floating point `0.0000001`"},
        {path_error(-2.5e3), "floating point `-2500.0`"},
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
    };
    for (const auto& [got, message] : cases) {
        // Most rows describe a value where a string was expected.
        std::string want =
            message.starts_with("invalid length") ? message : "invalid type: " + message;
        if (want.find(", expected") == std::string::npos) want += ", expected a string";
        EXPECT_EQ(got, "bad params: " + want);
    }
}

}  // namespace
}  // namespace vesk
