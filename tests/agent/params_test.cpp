#include "agent/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace vesk {
namespace {

using json = nlohmann::json;
using namespace std::string_literals;

struct ErrorCase {
    const char* data;   // JSON text
    const char* error;  // without the "bad params: " prefix
};

template <class Decode>
void expect_errors(Decode decode, std::initializer_list<ErrorCase> cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        const auto result = decode(json::parse(c.data));
        EXPECT_FALSE(result.value.has_value());
        EXPECT_EQ(result.error, std::string("bad params: ") + c.error);
    }
}

TEST(PathParamsDecoding, Errors) {
    expect_errors(
        decode_path_params,
        {
            {"null", "invalid type: null, expected struct PathParams"},
            {"5", "invalid type: integer `5`, expected struct PathParams"},
            {R"("/a")", R"(invalid type: string "/a", expected struct PathParams)"},
            {"{}", "missing field `path`"},
            {R"({"recursive": 1})", "invalid type: integer `1`, expected a boolean"},
            {R"({"path": "/a", "recursive": null})", "invalid type: null, expected a boolean"},
            {R"({"path": "/a", "recursive": "yes"})",
             R"(invalid type: string "yes", expected a boolean)"},
            {R"({"path": 5})", "invalid type: integer `5`, expected a string"},
            {R"({"path": null})", "invalid type: null, expected a string"},
            {R"({"path": ["/a"]})", "invalid type: sequence, expected a string"},
            {R"({"path": {"a": 1}})", "invalid type: map, expected a string"},
            {R"({"recursive": 2, "path": 1})", "invalid type: integer `1`, expected a string"},
            {R"({"Path": "/a"})", "missing field `path`"},
            {"[]", "invalid length 0, expected struct PathParams with 2 elements"},
            {R"(["/a", true, 1])", "invalid length 3, expected fewer elements in array"},
            {R"([5])", "invalid type: integer `5`, expected a string"},
            {R"(["/a", null])", "invalid type: null, expected a boolean"},
            {R"([null, true, 1])", "invalid type: null, expected a string"},
        });
}

TEST(PathParamsDecoding, Values) {
    struct Case {
        const char* data;
        std::string path;
        bool recursive;
    };
    const Case cases[] = {
        {R"({"path": "/a"})", "/a", false},
        {R"({"path": "/a", "recursive": true})", "/a", true},
        {R"({"path": "", "recursive": false})", "", false},
        {R"({"zzz": null, "aaa": [1], "path": "~/x", "PATH": 5})", "~/x", false},
        {R"(["/b"])", "/b", false},
        {R"(["/b", true])", "/b", true},
        {R"({"path": "\u65e5 \u0000"})", "\xE6\x97\xA5 \0"s, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        auto result = decode_path_params(json::parse(c.data));
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(result->path, c.path);
        EXPECT_EQ(result->recursive, c.recursive);
    }
}

TEST(ValueDescriptions, NumbersAndStrings) {
    expect_errors(
        decode_path_params,
        {
            {R"({"path": 18446744073709551615})",
             "invalid type: integer `18446744073709551615`, expected a string"},
            {R"({"path": -9223372036854775808})",
             "invalid type: integer `-9223372036854775808`, expected a string"},
            {R"({"path": 1.5})", "invalid type: floating point `1.5`, expected a string"},
            {R"({"path": 1.0})", "invalid type: floating point `1.0`, expected a string"},
            {R"({"path": -0.0})", "invalid type: floating point `-0.0`, expected a string"},
            {R"({"path": 0.1})", "invalid type: floating point `0.1`, expected a string"},
            {R"({"path": 1e-7})", "invalid type: floating point `0.0000001`, expected a string"},
            {R"({"path": 1e22})",
             "invalid type: floating point `10000000000000000000000.0`, expected a string"},
            {R"({"path": -2.5e3})", "invalid type: floating point `-2500.0`, expected a string"},
            {R"({"paths": 1, "path": 2})", "invalid type: integer `2`, expected a string"},
        });
    expect_errors(
        decode_count_params,
        {
            {R"({"paths": "a\"b\\c\n\t\r\u0000"})",
             R"(invalid type: string "a\"b\\c\n\t\r\0", expected a sequence)"},
            {R"({"paths": "\u001b\u00a0\u0301it's"})",
             R"(invalid type: string "\u{1b}\u{a0}\u{301}it's", expected a sequence)"},
            {R"({"paths": "\u00e9"})", "invalid type: string \"\xC3\xA9\", expected a sequence"},
        });
}

TEST(ValueDescriptions, LargeAndNonFiniteFloats) {
    const auto error_for = [](double v) { return decode_path_params(json{{"path", v}}).error; };
    EXPECT_EQ(error_for(std::numeric_limits<double>::infinity()),
              "bad params: invalid type: floating point `inf`, expected a string");
    EXPECT_EQ(error_for(-std::numeric_limits<double>::infinity()),
              "bad params: invalid type: floating point `-inf`, expected a string");
    EXPECT_EQ(error_for(std::nan("")),
              "bad params: invalid type: floating point `NaN`, expected a string");
    EXPECT_EQ(error_for(-5e-324), "bad params: invalid type: floating point `-0." +
                                      std::string(323, '0') + "5`, expected a string");

    // 1e300 in positional notation: 301 digits, no exponent, then ".0".
    const std::string big = error_for(1e300);
    const std::string prefix = "bad params: invalid type: floating point `";
    const std::string suffix = ".0`, expected a string";
    ASSERT_GT(big.size(), prefix.size() + suffix.size());
    EXPECT_EQ(big.substr(0, prefix.size()), prefix);
    EXPECT_EQ(big.substr(big.size() - suffix.size()), suffix);
    const std::string digits =
        big.substr(prefix.size(), big.size() - prefix.size() - suffix.size());
    EXPECT_EQ(digits.size(), 301u);
    EXPECT_EQ(digits[0], '1');
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
}

TEST(CountParamsDecoding, Errors) {
    expect_errors(
        decode_count_params,
        {
            {"null", "invalid type: null, expected struct CountParams"},
            {"1.5", "invalid type: floating point `1.5`, expected struct CountParams"},
            {"{}", "missing field `paths`"},
            {R"({"paths": "a"})", R"(invalid type: string "a", expected a sequence)"},
            {R"({"paths": {}})", "invalid type: map, expected a sequence"},
            {R"({"paths": ["a", 5, null]})", "invalid type: integer `5`, expected a string"},
            {R"({"paths": [["a"]]})", "invalid type: sequence, expected a string"},
            {"[]", "invalid length 0, expected struct CountParams with 1 element"},
            {R"(["a"])", R"(invalid type: string "a", expected a sequence)"},
            {R"([["a"], 1])", "invalid length 2, expected fewer elements in array"},
        });
}

TEST(CountParamsDecoding, Values) {
    using Paths = std::vector<std::string>;
    const std::pair<const char*, Paths> cases[] = {
        {R"({"paths": []})", {}},
        {R"({"paths": ["b", "a", "b"], "x": 1})", {"b", "a", "b"}},
        {R"([["x"]])", {"x"}},
    };
    for (const auto& [data, paths] : cases) {
        auto result = decode_count_params(json::parse(data));
        ASSERT_TRUE(result) << data << ": " << result.error;
        EXPECT_EQ(result->paths, paths) << data;
    }
}

TEST(GitParamsDecoding, Errors) {
    expect_errors(
        decode_git_params,
        {
            {"null", "invalid type: null, expected struct GitParams"},
            {"{}", "missing field `cwd`"},
            {R"({"cwd": "/r"})", "missing field `args`"},
            {R"({"args": []})", "missing field `cwd`"},
            {R"({"cwd": 5, "args": 5, "env": 5})",
             "invalid type: integer `5`, expected a sequence"},
            {R"({"cwd": 5, "env": 5})", "invalid type: integer `5`, expected a string"},
            {R"({"env": 5})", "invalid type: integer `5`, expected a sequence"},
            {R"({"cwd": "/r", "args": [], "env": null})",
             "invalid type: null, expected a sequence"},
            {R"({"cwd": "/r", "args": [true]})", "invalid type: boolean `true`, expected a string"},
            {R"({"cwd": "/r", "args": [], "env": [[]]})",
             "invalid length 0, expected a tuple of size 2"},
            {R"({"cwd": "/r", "args": [], "env": [["A"]]})",
             "invalid length 1, expected a tuple of size 2"},
            {R"({"cwd": "/r", "args": [], "env": [["A", "B", "C"]]})",
             "invalid length 3, expected fewer elements in array"},
            {R"({"cwd": "/r", "args": [], "env": [["A", "B", 5]]})",
             "invalid length 3, expected fewer elements in array"},
            {R"({"cwd": "/r", "args": [], "env": ["A=B"]})",
             R"(invalid type: string "A=B", expected a tuple of size 2)"},
            {R"({"cwd": "/r", "args": [], "env": [["A", "B"], {"A": "B"}]})",
             "invalid type: map, expected a tuple of size 2"},
            {R"({"cwd": "/r", "args": [], "env": [["A", 1]]})",
             "invalid type: integer `1`, expected a string"},
            {R"({"cwd": "/r", "args": [], "env": [[null, "B"]]})",
             "invalid type: null, expected a string"},
            {R"(["/r"])", "invalid length 1, expected struct GitParams with 3 elements"},
            {R"(["/r", ["s"], [["A", "B"]], 1])",
             "invalid length 4, expected fewer elements in array"},
        });
}

TEST(GitParamsDecoding, Values) {
    auto plain = decode_git_params(json::parse(R"({"cwd": "/r", "args": ["status", "-z"]})"));
    ASSERT_TRUE(plain) << plain.error;
    EXPECT_EQ(plain->cwd, "/r");
    EXPECT_EQ(plain->args, (std::vector<std::string>{"status", "-z"}));
    EXPECT_TRUE(plain->env.empty());

    auto with_env = decode_git_params(
        json::parse(R"({"env": [["B", "2"], ["A", ""]], "args": [], "cwd": ""})"));
    ASSERT_TRUE(with_env) << with_env.error;
    using Env = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(with_env->env, (Env{{"B", "2"}, {"A", ""}}));

    auto positional = decode_git_params(json::parse(R"(["/r", ["log"]])"));
    ASSERT_TRUE(positional) << positional.error;
    EXPECT_EQ(positional->args, (std::vector<std::string>{"log"}));
    EXPECT_TRUE(positional->env.empty());
}

TEST(ExecParamsDecoding, Errors) {
    expect_errors(
        decode_exec_params,
        {
            {"null", "invalid type: null, expected struct ExecParams"},
            {R"("ls")", R"(invalid type: string "ls", expected struct ExecParams)"},
            {"{}", "missing field `cwd`"},
            {R"({"cwd": "/"})", "missing field `program`"},
            {R"({"cwd": "/", "program": "ls"})", "missing field `args`"},
            {R"({"program": "ls", "args": []})", "missing field `cwd`"},
            {R"({"program": true})", "invalid type: boolean `true`, expected a string"},
            {R"({"args": 1, "cwd": 2, "program": 3})",
             "invalid type: integer `1`, expected a sequence"},
            {R"({"cwd": 2, "program": 3})", "invalid type: integer `2`, expected a string"},
            {R"({"cwd": "/", "program": "ls", "args": ["-l", false]})",
             "invalid type: boolean `false`, expected a string"},
            {R"(["/", "ls"])", "invalid length 2, expected struct ExecParams with 3 elements"},
            {R"(["/", "ls", [], 1])", "invalid length 4, expected fewer elements in array"},
        });
}

TEST(ExecParamsDecoding, Values) {
    auto object = decode_exec_params(
        json::parse(R"({"program": "sh", "args": ["-c", "echo hi"], "cwd": "~"})"));
    ASSERT_TRUE(object) << object.error;
    EXPECT_EQ(object->cwd, "~");
    EXPECT_EQ(object->program, "sh");
    EXPECT_EQ(object->args, (std::vector<std::string>{"-c", "echo hi"}));

    auto positional = decode_exec_params(json::parse(R"(["/", "true", []])"));
    ASSERT_TRUE(positional) << positional.error;
    EXPECT_EQ(positional->program, "true");
    EXPECT_TRUE(positional->args.empty());
}

// Sets HOME (nullopt: unsets it) for one scope and restores the previous value.
class HomeOverride {
  public:
    explicit HomeOverride(const std::optional<std::string>& home) {
        if (const char* old = std::getenv("HOME")) saved_ = old;
        if (home) {
            setenv("HOME", home->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }
    ~HomeOverride() {
        if (saved_) {
            setenv("HOME", saved_->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }
    HomeOverride(const HomeOverride&) = delete;
    HomeOverride& operator=(const HomeOverride&) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST(ExpandHome, Table) {
    struct Case {
        std::optional<std::string> home;
        const char* path;
        const char* expanded;
    };
    const Case cases[] = {
        {"/Users/a", "~", "/Users/a"},
        {"/Users/a", "~/src", "/Users/a/src"},
        {"/Users/a", "~/", "/Users/a/"},
        {"/Users/a", "~//etc", "/etc"},
        {"/Users/a", "~b/x", "~b/x"},
        {"/Users/a", "a/~/b", "a/~/b"},
        {"/Users/a", "", ""},
        {"/Users/a", "/abs/~", "/abs/~"},
        {"/Users/a", "~~", "~~"},
        {"/Users/a", " ~", " ~"},
        {"/Users/a/", "~", "/Users/a/"},
        {"/Users/a/", "~/src", "/Users/a/src"},
        {"/Users/a/", "~/", "/Users/a/"},
        {std::nullopt, "~/src", "src"},
        {std::nullopt, "~", ""},
        {std::nullopt, "~/", ""},
        {std::nullopt, "/x", "/x"},
        {"", "~/src", "src"},
        {"", "~", ""},
        {"/h\xFF", "~", ""},
        {"/h\xFF", "~/src", "src"},
        {"/h\xC3\xA9", "~/src", "/h\xC3\xA9/src"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("HOME=") + c.home.value_or("(unset)") + " path=" + c.path);
        HomeOverride home(c.home);
        EXPECT_EQ(expand_home(c.path), c.expanded);
    }
}

}  // namespace
}  // namespace vesk
