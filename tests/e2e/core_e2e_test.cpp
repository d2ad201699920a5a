// The agent binary from the outside: command line, handshake, unknown methods, concurrency and
// the ways a stream ends.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/agent_client.h"
#include "support/harness.h"

namespace {

using namespace std::string_literals;
using json = nlohmann::json;
using vesk::client::AgentClient;
using vesk::client::Message;
using vesk::client::StartOptions;
using vesk::test::agent_path;
using vesk::test::be32;
using vesk::test::frame;
using vesk::test::run_process;
using vesk::test::TempDir;

constexpr std::string_view kUsage = "usage: vesk-agent serve | --version\n";
constexpr std::string_view kVersionLine = "vesk-agent 1.0.1\n";
constexpr auto kWait = std::chrono::seconds(30);

std::string raw_request(std::string_view header, std::string_view body = {}) {
    return frame(header) + frame(body);
}

std::string expected_arch() {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "aarch64";
#else
    return "";
#endif
}

// ---------------------------------------------------------------------------------------------
// Command line

struct CommandCase {
    std::vector<std::string> args;
    int status;
    std::string_view out;
    std::string_view err;
};

TEST(CommandLine, Table) {
    const std::vector<CommandCase> cases = {
        {{}, 2, "", kUsage},
        {{"--version"}, 0, kVersionLine, ""},
        {{"-V"}, 0, kVersionLine, ""},
        {{"-V", "extra"}, 0, kVersionLine, ""},
        {{"--version", "serve"}, 0, kVersionLine, ""},
        {{"--version", "\xff\xfe"}, 0, kVersionLine, ""},
        {{"serve", "extra"}, 0, "", ""},
        {{"serve", "\xff"}, 0, "", ""},
        {{"--help"}, 2, "", kUsage},
        {{"-h"}, 2, "", kUsage},
        {{"Serve"}, 2, "", kUsage},
        {{"serve "}, 2, "", kUsage},
        {{" serve"}, 2, "", kUsage},
        {{"SERVE"}, 2, "", kUsage},
        {{"--Version"}, 2, "", kUsage},
        {{"-v"}, 2, "", kUsage},
        {{"--version="}, 2, "", kUsage},
        {{"version"}, 2, "", kUsage},
        {{""}, 2, "", kUsage},
        {{"", "serve"}, 2, "", kUsage},
        {{"frob", "serve"}, 2, "", kUsage},
    };
    for (const CommandCase& c : cases) {
        std::vector<std::string> argv = {agent_path()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto r = run_process(argv);
        EXPECT_EQ(r.exit_code(), c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(CommandLine, NonUtf8FirstArgumentIsFatal) {
    for (std::string arg : {"\xff"s, "serve\xff"s, "\xc0\xaf"s, "-V\xed\xa0\x80"s}) {
        SCOPED_TRACE(testing::PrintToString(arg));
        auto r = run_process({agent_path(), arg});
        EXPECT_EQ(r.exit_code(), 101);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

TEST(CommandLine, ProgramNameIsFixedText) {
    TempDir dir;
    std::string other = dir / "some-other-name";
    ASSERT_EQ(::symlink(agent_path(), other.c_str()), 0);
    auto r = run_process({other, "--version"});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, kVersionLine);
    r = run_process({other, "help"});
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.err, kUsage);

    // A program name that is not UTF-8 is as fatal as such a first argument.
    std::string bad = dir / "agent\xff";
    ASSERT_EQ(::symlink(agent_path(), bad.c_str()), 0);
    r = run_process({bad, "--version"});
    EXPECT_EQ(r.exit_code(), 101);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
}

// ---------------------------------------------------------------------------------------------
// hello

// A directory holding a fake `git` shell script, to put alone on PATH.
class FakeGit {
  public:
    explicit FakeGit(std::string_view script_body) {
        std::string path = dir_ / "git";
        vesk::test::write_file(path, "#!/bin/sh\n" + std::string(script_body) + "\n");
        ::chmod(path.c_str(), 0755);
    }
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
};

Message call_hello(const std::vector<std::pair<std::string, std::optional<std::string>>>& env) {
    StartOptions options;
    options.argv = {agent_path(), "serve"};
    options.env = env;
    AgentClient c(options);
    return c.call("hello", nullptr, {}, kWait);
}

// The whole reply, byte for byte: data members in byte order of their names, nothing else.
void expect_hello(const Message& m, std::uint64_t id, const json& git, const std::string& home) {
    EXPECT_EQ(m.header_text, vesk::test::reply_header(id, {{"arch", expected_arch()},
                                                           {"git", git},
                                                           {"home", home},
                                                           {"os", "linux"},
                                                           {"protocol", 1},
                                                           {"version", "1.0.1"}}));
    EXPECT_EQ(m.body, "");
}

// Each case: a stand-in git (none when the script is empty) and a HOME, and what hello says.
TEST(Hello, GitProbeAndHomeTable) {
    struct Case {
        const char* what;
        std::string script;
        std::optional<std::string> home;
        json git;
        std::string home_out;
    };
    const std::vector<Case> cases = {
        {"no git on the search path", "", "/h", nullptr, "/h"},
        {"exits 1 after a version line", "printf 'git version 1\\n'; exit 1", "/h", nullptr, "/h"},
        {"exits 128", "exit 128", "/h", nullptr, "/h"},
        {"killed by a signal", "printf 'git version 1\\n'; kill -9 $$", "/h", nullptr, "/h"},
        {"prints only white space", "printf ' \\t\\n \\r\\n'", "/h", "", "/h"},
        {"prints nothing", "exit 0", "/h", "", "/h"},
        {"one line and a line feed", "printf 'git version 2.39.2\\n'", "/home/some one/ x",
         "git version 2.39.2", "/home/some one/ x"},
        {"noise on standard error", "printf 'x\\n' >&2; printf 'git version 3\\n'", "/h",
         "git version 3", "/h"},
        {"inner white space kept", "printf '\\n  a\\n b  \\n\\n'", "/h", "a\n b", "/h"},
        {"Unicode white space trimmed", "printf '\\302\\240\\342\\200\\250v 1\\343\\200\\200'",
         "/h", "v 1", "/h"},
        {"invalid UTF-8", "printf 'git \\377version \\303\\n'", "/h",
         "git \xef\xbf\xbdversion \xef\xbf\xbd", "/h"},
        {"HOME unset", "printf 'g\\n'", std::nullopt, "g", ""},
        {"HOME empty", "printf 'g\\n'", "", "g", ""},
        {"HOME not UTF-8", "printf 'g\\n'", "\xff/home", "g", ""},
        {"HOME with spaces and a tilde", "printf 'g\\n'", " ~/h ", "g", " ~/h "},
        {"HOME in UTF-8", "printf 'g\\n'", "/h\xc3\xa9", "g", "/h\xc3\xa9"},
    };
    TempDir empty;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<FakeGit> git;
        if (!c.script.empty()) git.emplace(c.script);
        Message m = call_hello({{"PATH", git ? git->dir() : empty.path()}, {"HOME", c.home}});
        expect_hello(m, m.id, c.git, c.home_out);
    }
}

TEST(Hello, DataIsNeverLookedAt) {
    FakeGit git("printf 'g\\n'");
    StartOptions options;
    options.argv = {agent_path(), "serve"};
    options.env = {{"PATH", git.dir()}, {"HOME", "/h"}};
    AgentClient c(options);
    expect_hello(c.call("hello"), 1, "g", "/h");
    const std::vector<std::string> headers = {
        R"({"id":2,"method":"hello","data":null})",
        R"({"id":2,"method":"hello","data":5})",
        R"({"id":2,"method":"hello","data":{"path":7,"x":[1]}})",
        R"({"id":2,"method":"hello","data":"text"})",
        R"([2,"hello",[1,2,3]])",
    };
    for (const std::string& header : headers) {
        SCOPED_TRACE(header);
        c.send_raw(raw_request(header, "ignored body"));
        std::optional<Message> m = c.wait_reply(2, kWait);
        ASSERT_TRUE(m);
        expect_hello(*m, 2, "g", "/h");
    }
}

// ---------------------------------------------------------------------------------------------
// Unknown methods

TEST(UnknownMethod, ExactBytesForFrob) {
    AgentClient c(agent_path());
    c.send_raw(raw_request(R"({"id":3,"method":"frob"})"));
    std::optional<Message> m = c.wait_reply(3, kWait);
    ASSERT_TRUE(m);
    const std::string want = R"({"id":3,"error":"unknown method \"frob\""})";
    EXPECT_EQ(want.size(), 42u);
    EXPECT_EQ(m->header_text, want);
    EXPECT_EQ(m->body, "");
    c.close_input();
    ASSERT_TRUE(c.wait_exit(kWait));
    EXPECT_EQ(c.raw_output(), frame(want) + be32(0));
}

TEST(UnknownMethod, QuotedNameTable) {
    struct Case {
        std::string header;  // with id 5
        std::string error;   // the error text, decoded
    };
    const std::vector<Case> cases = {
        {R"({"id":5,"method":"Hello"})", R"(unknown method "Hello")"},
        {R"({"id":5,"method":"hello "})", R"(unknown method "hello ")"},
        {R"({"id":5,"method":"fs.mkdir"})", R"(unknown method "fs.mkdir")"},
        {R"({"id":5,"method":""})", R"(unknown method "")"},
        {R"({"id":5})", R"(unknown method "")"},
        {R"({"id":5,"method":null})", R"(unknown method "")"},
        {R"([5])", R"(unknown method "")"},
        {R"({"id":5,"data":{"path":5,"paths":"x"}})", R"(unknown method "")"},
        {R"({"id":5,"method":"a\tb\r\u0000"})", R"(unknown method "a\tb\r\0")"},
        {R"({"id":5,"method":"\u001b["})", R"(unknown method "\u{1b}[")"},
        {R"({"id":5,"method":"a\"b\\c"})", R"(unknown method "a\"b\\c")"},
        {R"({"id":5,"method":"caf\u00e9"})", "unknown method \"caf\xc3\xa9\""},
    };
    AgentClient c(agent_path());
    for (const Case& k : cases) {
        SCOPED_TRACE(k.header);
        c.send_raw(raw_request(k.header, "some body bytes"));
        std::optional<Message> m = c.wait_reply(5, kWait);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->error, k.error);
        EXPECT_EQ(m->data, nullptr);
        EXPECT_EQ(m->body, "");
        EXPECT_EQ(m->header_text, R"({"id":5,"error":)" + json(k.error).dump() + "}");
    }
    // The line feed reaches the wire as backslash, backslash, n inside the JSON string.
    c.send_raw(raw_request(R"({"id":6,"method":"a\nb"})"));
    std::optional<Message> m = c.wait_reply(6, kWait);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header_text, R"({"id":6,"error":"unknown method \"a\\nb\""})");
}

TEST(Requests, IdsAreEchoedEvenWhenRepeated) {
    AgentClient c(agent_path());
    c.send_raw(raw_request(R"({"id":18446744073709551615,"method":"frob"})"));
    std::optional<Message> m = c.wait_reply(18446744073709551615ull, kWait);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header_text.substr(0, 27), R"({"id":18446744073709551615,)");
    c.send_raw(raw_request(R"({"id":0,"method":"frob"})"));
    m = c.wait_reply(0, kWait);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header_text.substr(0, 8), R"({"id":0,)");

    c.send_raw(raw_request(R"({"id":9,"method":"frob"})") +
               raw_request(R"({"id":9,"method":"nope"})"));
    std::set<std::string> errors;
    for (int i = 0; i < 2; ++i) {
        m = c.wait_reply(9, kWait);
        ASSERT_TRUE(m);
        errors.insert(m->error.value_or(""));
    }
    EXPECT_EQ(errors,
              (std::set<std::string>{R"(unknown method "frob")", R"(unknown method "nope")"}));
}

// ---------------------------------------------------------------------------------------------
// Concurrency

TEST(Concurrency, SlowRequestDoesNotDelayAQuickOne) {
    // hello waits for the git probe; this git takes a second.
    FakeGit git("/bin/sleep 1; printf 'git version slow\\n'");
    StartOptions options;
    options.argv = {agent_path(), "serve"};
    options.env = {{"PATH", git.dir()}};
    AgentClient c(options);
    std::uint64_t slow = c.send("hello");
    std::uint64_t quick = c.send("frob");
    ASSERT_TRUE(c.wait_reply(quick, kWait));
    std::optional<Message> s = c.wait_reply(slow, kWait);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->data["git"], "git version slow");
    std::vector<Message> order = c.transcript();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0].id, quick);
    EXPECT_EQ(order[1].id, slow);
}

// ---------------------------------------------------------------------------------------------
// How the service ends

// Input that cannot be trusted to stay in step ends the service at once: no reply, no complaint,
// exit status 0, and nothing after the bad frame is carried out. Input that ends inside a frame
// is a fault test of its own.
TEST(StreamEnd, UntrustworthyInputEndsSilently) {
    const std::string frob = raw_request(R"({"id":1,"method":"frob"})");
    struct Case {
        const char* what;
        std::string input;
    };
    const std::vector<Case> cases = {
        {"no input at all", ""},
        {"header not JSON, then valid requests", raw_request("{id:1}") + frob + frob},
        {"header JSON but not an envelope", raw_request(R"({"method":"frob"})") + frob},
        {"header with a byte-order mark", raw_request("\xEF\xBB\xBF{\"id\":1}") + frob},
        {"header with a trailing NUL byte", raw_request("{\"id\":1}\0"s) + frob},
        {"header length 0x40000001", be32(0x40000001) + frob},
        {"body length 0xFFFFFFFF", frame(R"({"id":1,"method":"frob"})") + be32(0xFFFFFFFF) + frob},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = run_process({agent_path(), "serve"}, c.input);
        EXPECT_EQ(r.status, 0) << "exit " << r.exit_code();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

// ---------------------------------------------------------------------------------------------
// The shipped binary

// True when the ELF file names an interpreter (is dynamically linked); nothing when unreadable.
std::optional<bool> has_interpreter(const std::string& path, bool* needs_libraries) {
    std::ifstream f(path, std::ios::binary);
    Elf64_Ehdr eh{};
    if (!f.read(reinterpret_cast<char*>(&eh), sizeof eh)) return std::nullopt;
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
        return std::nullopt;
    bool interp = false;
    *needs_libraries = false;
    for (int i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph{};
        f.seekg(static_cast<std::streamoff>(eh.e_phoff + std::size_t{eh.e_phentsize} * i));
        if (!f.read(reinterpret_cast<char*>(&ph), sizeof ph)) return std::nullopt;
        if (ph.p_type == PT_INTERP) interp = true;
        if (ph.p_type != PT_DYNAMIC) continue;
        std::vector<Elf64_Dyn> dyn(ph.p_filesz / sizeof(Elf64_Dyn));
        f.seekg(static_cast<std::streamoff>(ph.p_offset));
        f.read(reinterpret_cast<char*>(dyn.data()),
               static_cast<std::streamsize>(dyn.size() * sizeof(Elf64_Dyn)));
        for (const Elf64_Dyn& d : dyn)
            if (d.d_tag == DT_NEEDED) *needs_libraries = true;
    }
    return interp;
}

TEST(Binary, StaticBuildNeedsNoSharedLibraries) {
    bool needs = false;
    std::optional<bool> interp = has_interpreter(agent_path(), &needs);
    ASSERT_TRUE(interp) << "not a readable 64-bit ELF file";
    if (*interp) GTEST_SKIP() << "dynamically linked build (VESK_STATIC off)";
    EXPECT_FALSE(needs) << "no interpreter, yet shared libraries are needed";
    auto r = run_process({agent_path(), "--version"});
    EXPECT_EQ(r.out, kVersionLine);
}

}  // namespace
