// The agent binary from the outside: its command line, the handshake and unknown methods.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "support/harness.h"

namespace {

using namespace vesk::test;

const std::string kUsage = "usage: vesk-agent serve | --version\n";
const std::string kVersion = "vesk-agent 1.0.1\n";
const std::string kSomeText = "<a diagnostic>";

TEST(CommandLine, Table) {
    TempDir dir;
    const std::string a = agent_path(), other = dir / "other-name", bad = dir / "agent\xff";
    ASSERT_EQ(::symlink(a.c_str(), other.c_str()), 0);
    ASSERT_EQ(::symlink(a.c_str(), bad.c_str()), 0);
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{a}, 2, "", kUsage},
        {{a, "--version"}, 0, kVersion, ""},
        {{a, "-V"}, 0, kVersion, ""},
        {{a, "--version", "\xff\xfe"}, 0, kVersion, ""},  // only the first argument is read
        {{a, "serve", "\xff"}, 0, "", ""},
        {{other, "--version"}, 0, kVersion, ""},  // the name in the texts is fixed
        {{a, "--help"}, 2, "", kUsage},
        {{a, "Serve"}, 2, "", kUsage},
        {{a, "--version="}, 2, "", kUsage},
        {{a, ""}, 2, "", kUsage},
        {{a, "\xff"}, 101, "", kSomeText},
        {{a, "-V\xed\xa0\x80"}, 101, "", kSomeText},  // a surrogate
        {{bad, "--version"}, 101, "", kSomeText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argv));
        ProcessResult r = run_process(c.argv);
        EXPECT_EQ(r.exit_code(), c.status);
        EXPECT_EQ(r.out, c.out);
        if (c.err == kSomeText)
            EXPECT_NE(r.err, "");
        else
            EXPECT_EQ(r.err, c.err);
    }
}

std::string hello_data(const std::string& git, const std::string& home) {
#if defined(__x86_64__)
    const std::string arch = "x86_64";
#else
    const std::string arch = "aarch64";
#endif
    return R"({"arch":")" + arch + R"(","git":)" + git + R"(,"home":)" + json(home).dump() +
           R"(,"os":"linux","protocol":1,"version":"1.0.1"})";
}

// Each case: a stand-in git (none when the script is empty) and a HOME, and what hello says.
TEST(Hello, GitProbeAndHomeTable) {
    struct Case {
        const char* what;
        std::string script;
        std::optional<std::string> home;
        std::string git, home_out;
    };
    const Case cases[] = {
        {"no git on the search path", "", "/h", "null", "/h"},
        {"killed by a signal", "echo git version 1; kill -9 $$", "/h", "null", "/h"},
        {"prints only white space", "printf ' \\t\\n \\r\\n'", "/h", R"("")", "/h"},
        {"one line", "printf 'git version 2.39.2\\n'", "/home/a b/ x", R"("git version 2.39.2")",
         "/home/a b/ x"},
        {"Unicode white space trimmed", "printf '\\302\\240\\342\\200\\250v 1\\343\\200\\200'",
         "/h", R"("v 1")", "/h"},
        {"invalid UTF-8", "printf 'git \\377version \\303\\n'", "/h",
         "\"git \xef\xbf\xbdversion \xef\xbf\xbd\"", "/h"},
        {"HOME unset", "echo g", std::nullopt, R"("g")", ""},
        {"HOME not UTF-8", "echo g", "\xff/home", R"("g")", ""},
        {"HOME in UTF-8", "echo g", "/h\xc3\xa9", R"("g")", "/h\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir bin;
        if (!c.script.empty()) write_script(bin / "git", c.script);
        vesk::client::AgentClient agent(agent_options({{"PATH", bin.path()}, {"HOME", c.home}}));
        expect_replies(agent, {{"hello", nullptr, "", ok(hello_data(c.git, c.home_out))}});
    }
}

// The name comes back quoted: control and non-printable characters and combining marks
// escaped, then JSON-escaped again on the wire. A body is dropped unread.
TEST(UnknownMethod, QuotedNameTable) {
    const std::pair<std::string, std::string> cases[] = {
        {"Hello", R"(,"error":"unknown method \"Hello\""})"},
        {"hello ", R"(,"error":"unknown method \"hello \""})"},
        {"fs.mkdir", R"(,"error":"unknown method \"fs.mkdir\""})"},
        {"", R"(,"error":"unknown method \"\""})"},
        {std::string("a\tb\r\0", 5), R"(,"error":"unknown method \"a\\tb\\r\\0\""})"},
        {"a\nb", R"(,"error":"unknown method \"a\\nb\""})"},
        {"\x1b[\x7f", R"(,"error":"unknown method \"\\u{1b}[\\u{7f}\""})"},
        {"a\"b\\c'", R"(,"error":"unknown method \"a\\\"b\\\\c'\""})"},
        {"caf\xc3\xa9", ",\"error\":\"unknown method \\\"caf\xc3\xa9\\\"\"}"},
        {"e\xcc\x81\xc2\xa0", R"(,"error":"unknown method \"e\\u{301}\\u{a0}\""})"},
    };
    vesk::client::AgentClient agent(agent_path());
    std::vector<Row> rows;
    for (const auto& [method, reply] : cases)
        rows.push_back({method, {{"path", 5}}, "body", reply});
    expect_replies(agent, rows);
}

// A release build ships one static executable: no program interpreter, so no shared library.
TEST(Binary, ReleaseBuildIsStatic) {
#ifndef VESK_STATIC_AGENT
    GTEST_SKIP() << "built without VESK_STATIC";
#endif
    std::ifstream f(agent_path(), std::ios::binary);
    Elf64_Ehdr eh{};
    ASSERT_TRUE(f.read(reinterpret_cast<char*>(&eh), sizeof eh));
    for (Elf64_Phdr ph{}; eh.e_phnum-- > 0;) {
        f.seekg(static_cast<std::streamoff>(eh.e_phoff + std::size_t{eh.e_phentsize} * eh.e_phnum));
        ASSERT_TRUE(f.read(reinterpret_cast<char*>(&ph), sizeof ph));
        EXPECT_NE(ph.p_type, PT_INTERP);
    }
}

}  // namespace
