// Keeps the examples of docs/protocol.md honest: every example request in the document is sent
// to a fresh agent and its reply compared with the one the document shows.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "git/repo_fixture.h"
#include "support/harness.h"

namespace {

using vesk::client::AgentClient;
using vesk::client::StartOptions;
using vesk::test::TempDir;

struct Block {
    std::string kind;  // the fence's info string
    std::string text;  // without the final line feed
    int line = 0;
};

struct Example {
    int line = 0;
    bool hex_request = false;
    std::string request;       // the header text, or the raw bytes of a hex block
    std::string request_body;  // for a header text
    std::string reply;         // expected header text (with placeholders), or raw bytes for hex
    bool hex_reply = false;
    std::string reply_body;
};

std::vector<Block> fenced_blocks(const std::string& doc) {
    std::vector<Block> blocks;
    std::istringstream in(doc);
    std::string line;
    int n = 0;
    std::optional<Block> open;
    while (std::getline(in, line)) {
        ++n;
        if (line.rfind("```", 0) == 0) {
            if (open) {
                if (!open->text.empty()) open->text.pop_back();
                blocks.push_back(*open);
                open.reset();
            } else {
                open = Block{line.substr(3), "", n};
            }
        } else if (open) {
            open->text += line + "\n";
        }
    }
    return blocks;
}

std::string from_hex(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
    return out;
}

// Pairs each request (json or hex) with the reply blocks that follow it.
std::vector<Example> examples(const std::vector<Block>& blocks) {
    std::vector<Example> out;
    std::string body;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block& b = blocks[i];
        if (b.kind != "request" && b.kind != "hex") continue;
        Example e;
        e.line = b.line;
        std::size_t j = i + 1;
        if (j < blocks.size() && blocks[j].kind == "body") e.request_body = blocks[j++].text;
        e.hex_request = b.kind == "hex";
        e.request = e.hex_request ? from_hex(b.text) : b.text;
        if (j >= blocks.size() || (blocks[j].kind != "reply" && blocks[j].kind != "hex-reply")) {
            ADD_FAILURE() << "docs/protocol.md:" << b.line << ": request without a reply block";
            continue;
        }
        e.hex_reply = blocks[j].kind == "hex-reply";
        e.reply = e.hex_reply ? from_hex(blocks[j].text) : blocks[j].text;
        ++j;
        if (j < blocks.size() && blocks[j].kind == "reply-body") e.reply_body = blocks[j].text;
        out.push_back(e);
    }
    return out;
}

// The document's reply with {DIR} filled in and {*} matching anything, as a regular expression.
std::regex reply_pattern(const std::string& reply, const std::string& dir) {
    std::string pattern;
    for (std::size_t i = 0; i < reply.size();) {
        if (reply.compare(i, 5, "{DIR}") == 0) {
            for (char c : dir)
                pattern += std::string(std::isalnum(static_cast<unsigned char>(c)) ? "" : "\\") + c;
            i += 5;
        } else if (reply.compare(i, 3, "{*}") == 0) {
            pattern += ".*";
            i += 3;
        } else {
            char c = reply[i++];
            pattern += std::string(std::isalnum(static_cast<unsigned char>(c)) ? "" : "\\") + c;
        }
    }
    return std::regex(pattern);
}

TEST(ProtocolDoc, EveryExampleReplyIsWhatTheAgentAnswers) {
    std::string doc = vesk::test::read_file(std::string(VESK_SOURCE_DIR) + "/docs/protocol.md");
    std::vector<Example> all = examples(fenced_blocks(doc));
    ASSERT_GE(all.size(), 25u) << "the examples were not found";
    for (const Example& e : all) {
        TempDir tmp;
        const std::string dir = vesk::test::real_path(tmp.path());
        vesk::test::write_file(dir + "/notes.txt", "hello world");
        ::mkdir((dir + "/docs").c_str(), 0755);
        StartOptions o;
        o.argv = {vesk::test::agent_path(), "serve"};
        o.cwd = dir;
        o.env = {{"HOME", dir}};
        AgentClient c(o);
        std::string request = e.request;
        if (!e.hex_request) {
            for (std::size_t at; (at = request.find("{DIR}")) != std::string::npos;)
                request.replace(at, 5, dir);
            request =
                vesk::client::encode_frame(request) + vesk::client::encode_frame(e.request_body);
        }
        c.send_raw(request);
        for (int i = 0; i < 3000 && c.transcript().empty() && !c.output_ended(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::vector<vesk::client::Message> got = c.transcript();
        ASSERT_FALSE(got.empty()) << "docs/protocol.md:" << e.line << ": no reply";
        if (e.hex_reply) {
            EXPECT_EQ(c.raw_output(), e.reply) << "docs/protocol.md:" << e.line;
            continue;
        }
        EXPECT_TRUE(std::regex_match(got[0].header_text, reply_pattern(e.reply, dir)))
            << "docs/protocol.md:" << e.line << "\n  document: " << e.reply
            << "\n  agent:    " << got[0].header_text;
        EXPECT_EQ(got[0].body, e.reply_body) << "docs/protocol.md:" << e.line;
    }
}

}  // namespace
