// The agent binary from the outside: its command line, the handshake, unknown methods, and the
// byte stream itself: envelope forms accepted and refused, frame lengths, input that ends inside
// a frame, and the public JSON parsing corpus.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "support/harness.h"

namespace {

using namespace std::chrono_literals;
using namespace vesk::test;
using vesk::encode_frame;

const std::string kUsage = "usage: vesk-agent serve | --version\n";
const std::string kVersion = "vesk-agent 1.0.1\n";
const std::string kSomeText = "<a diagnostic>";

TEST(CommandLine, Table) {
    TempDir dir;
    const std::string a = agent_path(), other = dir / "other-name", bad = dir / "agent\xff";
    ASSERT_EQ(::symlink(a.c_str(), other.c_str()) | ::symlink(a.c_str(), bad.c_str()), 0);
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
        EXPECT_TRUE(c.err == kSomeText ? !r.err.empty() : r.err == c.err) << r.err;
    }
}

std::string hello_data(const std::string& git, const std::string& home) {
    const std::string arch = run_process({"uname", "-m"}).out;
    return R"({"arch":")" + arch.substr(0, arch.size() - 1) + R"(","git":)" + git + R"(,"home":)" +
           json(home).dump() + R"(,"os":"linux","protocol":1,"version":"1.0.1"})";
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir bin;
        if (!c.script.empty()) write_script(bin / "git", c.script);
        // The agent itself is found on the PATH given for it, not on ours.
        ASSERT_EQ(::symlink(agent_path(), (bin / "the-agent").c_str()), 0);
        auto options = agent_options({{"PATH", bin.path()}, {"HOME", c.home}});
        options.argv[0] = "the-agent";
        vesk::client::AgentClient agent(options);
        expect_replies(agent, {{"hello", nullptr, "", ok(hello_data(c.git, c.home_out))}});
    }
}

// The name comes back quoted: control and non-printable characters and combining marks
// escaped, then JSON-escaped again on the wire. A body is dropped unread.
TEST(UnknownMethod, QuotedNameTable) {
    const std::pair<std::string, std::string> cases[] = {
        {"Hello", R"(,"error":"unknown method \"Hello\""})"},
        {std::string("a\tb\r\0", 5), R"(,"error":"unknown method \"a\\tb\\r\\0\""})"},
        {"a\"b\\c'", R"(,"error":"unknown method \"a\\\"b\\\\c'\""})"},
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

struct Served {
    int status = -1;
    std::vector<Msg> replies;  // sorted: replies leave in completion order
    std::string err, files;    // files: the names left in its working directory
};

// Feeds input to a fresh agent in an empty directory. With `stops` the input itself must end
// the service; otherwise end of input follows once `replies` messages are out.
Served serve(const std::string& input, std::size_t replies, bool stops = false) {
    TempDir cwd;
    Proc p(serve_options({}, cwd.path()));
    p.send(input);
    if (!stops) {
        p.messages(replies);
        p.close_input();
    }
    Served s;
    s.status = p.finish(stops ? 20s : kWait).value_or(-1);
    if (!messages_of(p.out(), s.replies)) s.replies.push_back({"<cut frame>", ""});
    std::sort(s.replies.begin(), s.replies.end());
    s.err = p.err();
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(cwd.path()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    for (const auto& n : names) s.files += (s.files.empty() ? "" : " ") + n;
    return s;
}

Msg unknown(const std::string& id, const std::string& quoted) {
    return {"{\"id\":" + id + R"(,"error":"unknown method \")" + quoted + "\\\"\"}", ""};
}

TEST(Wire, StreamTable) {
    const std::string frob = raw_request(R"({"id":99,"method":"frob"})");
    const std::string nested = std::string(126, '[') + std::string(126, ']');
    struct Case {
        const char* what;
        std::string input;
        std::vector<Msg> replies;
        bool stops = false;
        std::string files = "";
    };
    std::vector<Case> cases = {
        {"no input at all", "", {}},
        {"the 42-byte reply to frob",
         raw_request(R"({"id":3,"method":"frob"})", "body"),
         {{R"({"id":3,"error":"unknown method \"frob\""})", ""}}},
        {"envelope forms",
         raw_request(" \t{\"method\":\"frob\",\"id\":7,\"extra\":[1,{\"id\":\"x\"}]}\r\n ") +
             raw_request(R"([8,"frob"])") + raw_request(R"([9,"frob",null,"ignored"])") +
             raw_request(R"({"id":10})") + raw_request(R"({"id":11,"method":null,"data":null})") +
             raw_request(R"([12])") + raw_request(R"({"id":13,"method":"frob","x":1,"x":2})") +
             raw_request(R"({"id":14,"method":"frob","data":)" + nested + "}") +
             raw_request(R"({"id":18446744073709551615,"method":"frob"})") +
             raw_request(R"({"id":0,"method":"frob"})") +
             raw_request(R"({"id":5,"method":"frob"})") +
             raw_request(R"({"id":5,"method":"nope"})"),
         {unknown("7", "frob"), unknown("8", "frob"), unknown("9", "frob"), unknown("10", ""),
          unknown("11", ""), unknown("12", ""), unknown("13", "frob"), unknown("14", "frob"),
          unknown("18446744073709551615", "frob"), unknown("0", "frob"), unknown("5", "frob"),
          unknown("5", "nope")}},
        {"header length 0x40000001", be32(0x40000001) + frob, {}, true},
        {"body length 0xFFFFFFFF",
         encode_frame(R"({"id":1,"method":"frob"})") + be32(0xFFFFFFFF) + frob,
         {},
         true},
    };
    // Headers that are not envelopes end the service; nothing after them is carried out.
    // clang-format off
    std::vector<std::string> refused = {
        R"({"method":"frob"})", "\xEF\xBB\xBF{\"id\":1}", R"({"id":-1})", R"({"id":1.5})",
        R"({"id":1e3})", R"({"id":"7"})", R"({"id":null})", R"({"id":18446744073709551616})",
        R"({"id":1,"id":2})", R"({"id":1,"data":1,"data":2})", R"({"id":1,"method":5})",
        R"({"id":1,"error":"a","error":"b"})", R"({"id":1} x)", "null", "", "[]",
        R"([1,"frob",null,null,5])"};
    // clang-format on
    refused.push_back(std::string("{\"id\":1}\0", 9));
    refused.push_back(R"({"id":1,"data":)" + std::string(127, '[') + std::string(127, ']') + "}");
    for (const std::string& bad : refused)
        cases.push_back({"refused envelope", raw_request(bad) + frob, {}, true});
    // Input that ends inside the second of two writes: only the whole first one is carried out.
    const std::string first = request(1, "fs.write", {{"path", "a"}}, "first");
    const std::string second = request(2, "fs.write", {{"path", "b"}}, "second body");
    const std::size_t head = second.size() - 4 - 11;
    for (std::size_t keep : {std::size_t{2}, std::size_t{4 + 5}, head, head + 2, head + 4 + 3})
        cases.push_back(
            {"cut input", first + second.substr(0, keep), {{R"({"id":1})", ""}}, false, "a"});
    cases.push_back(
        {"uncut input", first + second, {{R"({"id":1})", ""}, {R"({"id":2})", ""}}, false, "a b"});

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + testing::PrintToString(c.input.substr(0, 80)));
        Served s = serve(c.input, c.replies.size(), c.stops);
        EXPECT_EQ(s.status, 0);
        std::vector<Msg> want = c.replies;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(s.replies, want);
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.files, c.files);
    }
}

// The JSON parsing test corpus: y_ documents must be accepted as data, n_ documents must end
// the service whether they are the whole header or its data, i_ documents must not crash it.
TEST(Wire, JsonTestSuite) {
    // Decoding is single-threaded: ThreadSanitizer has nothing to find here, and its
    // start-up cost for each of the hundreds of agents this starts would take minutes.
    if (kThreadSanitizer) GTEST_SKIP() << "nothing for ThreadSanitizer to check; slow under it";
    const std::filesystem::path corpus = VESK_JSON_SUITE_DIR "/test_parsing";
    if (!std::filesystem::is_directory(corpus))
        GTEST_SKIP() << "the JSON parsing corpus is missing at " << corpus;
    std::map<char, std::vector<std::pair<std::string, std::string>>> docs;
    for (const auto& e : std::filesystem::directory_iterator(corpus))
        docs[e.path().filename().string()[0]].emplace_back(e.path().filename(),
                                                           read_file(e.path()));
    ASSERT_EQ(docs.size(), 3u) << "y_, n_ and i_ documents in " << corpus;
    auto with_data = [](std::size_t id, const std::string& doc) {
        return raw_request(R"({"id":)" + std::to_string(id) + R"(,"method":"frob","data":)" + doc +
                           "}");
    };
    std::string input;
    std::vector<Msg> want;
    for (std::size_t i = 0; i < docs['y'].size(); ++i) {
        input += with_data(i + 1, docs['y'][i].second);
        want.push_back(unknown(std::to_string(i + 1), "frob"));
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(serve(input, want.size()).replies, want) << "a y_ document ended the service";
    for (char kind : {'n', 'i'}) {
        for (const auto& [name, doc] : docs[kind]) {
            for (const std::string& in : {raw_request(doc), with_data(1, doc)}) {
                Served s = serve(in + raw_request(R"({"id":99,"method":"frob"})"), 0, kind == 'n');
                EXPECT_TRUE(s.status == 0 && s.err.empty() && (kind == 'i' || s.replies.empty()))
                    << name;
            }
        }
    }
}

}  // namespace
