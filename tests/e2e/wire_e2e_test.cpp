// The byte stream itself, through an agent started here: envelope forms accepted and refused,
// frame lengths, input that ends inside a frame, and the public JSON parsing corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "support/harness.h"

namespace {

using namespace vesk::test;
using namespace std::chrono_literals;
using vesk::encode_frame;

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
    const std::filesystem::path corpus = VESK_JSON_SUITE_DIR "/test_parsing";
    if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
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
