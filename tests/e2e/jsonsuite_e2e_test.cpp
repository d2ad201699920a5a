// The public JSON parsing corpus against the real agent: y_ documents must be accepted as the
// data of an envelope, n_ documents must end the service silently, i_ documents must never
// crash it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "support/harness.h"

namespace {

using vesk::client::AgentClient;
using vesk::client::encode_frame;
using vesk::test::agent_path;
using vesk::test::run_process;

struct Doc {
    std::string name;
    std::string bytes;
};

std::vector<Doc> load_docs(char prefix) {
    std::vector<Doc> docs;
    std::filesystem::path dir = std::filesystem::path(VESK_JSON_SUITE_DIR) / "test_parsing";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() < 2 || name[0] != prefix || name[1] != '_') continue;
        docs.push_back({name, vesk::test::read_file(entry.path().string())});
    }
    std::sort(docs.begin(), docs.end(), [](const Doc& a, const Doc& b) { return a.name < b.name; });
    return docs;
}

class JsonSuite : public testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::path dir = std::filesystem::path(VESK_JSON_SUITE_DIR) / "test_parsing";
        if (!std::filesystem::is_directory(dir))
            GTEST_SKIP() << "corpus not found at " << dir.string();
    }
};

std::string with_data(std::uint64_t id, const std::string& doc) {
    return encode_frame(R"({"id":)" + std::to_string(id) + R"(,"method":"frob","data":)" + doc +
                        "}") +
           encode_frame("");
}

const std::string kValidRequest = encode_frame(R"({"id":99,"method":"frob"})") + encode_frame("");

// Runs fn over every document on a few threads; each call starts agents of its own.
void for_each_concurrently(const std::vector<Doc>& docs,
                           const std::function<void(const Doc&)>& fn) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i; (i = next++) < docs.size();) fn(docs[i]);
        });
    }
    for (auto& t : threads) t.join();
}

TEST_F(JsonSuite, AcceptedDocumentsAreAcceptedAsData) {
    std::vector<Doc> docs = load_docs('y');
    ASSERT_FALSE(docs.empty());
    auto agent = std::make_unique<AgentClient>(agent_path());
    std::vector<std::string> rejected;
    std::uint64_t id = 1;
    for (const Doc& doc : docs) {
        agent->send_raw(with_data(id, doc.bytes));
        std::optional<vesk::client::Message> m = agent->wait_reply(id, std::chrono::seconds(20));
        ++id;
        if (m && m->error == R"(unknown method "frob")") continue;
        rejected.push_back(doc.name);
        // The agent ended its service; go on with a fresh one.
        agent = std::make_unique<AgentClient>(agent_path());
    }
    EXPECT_TRUE(rejected.empty()) << testing::PrintToString(rejected);
}

TEST_F(JsonSuite, RejectedDocumentsEndTheServiceSilently) {
    std::vector<Doc> docs = load_docs('n');
    ASSERT_FALSE(docs.empty());
    std::mutex mu;
    std::vector<std::string> answered;
    for_each_concurrently(docs, [&](const Doc& doc) {
        // As the whole header, and as the data of an otherwise valid envelope; the valid request
        // after it must never be answered.
        for (const std::string& input : {encode_frame(doc.bytes) + encode_frame("") + kValidRequest,
                                         with_data(1, doc.bytes) + kValidRequest}) {
            auto r = run_process({agent_path(), "serve"}, input);
            if (r.status != 0 || !r.out.empty() || !r.err.empty()) {
                std::lock_guard<std::mutex> lock(mu);
                answered.push_back(doc.name + " (status " + std::to_string(r.status) + ", " +
                                   std::to_string(r.out.size()) + " bytes out)");
            }
        }
    });
    EXPECT_TRUE(answered.empty()) << testing::PrintToString(answered);
}

TEST_F(JsonSuite, ImplementationDefinedDocumentsNeverCrash) {
    std::vector<Doc> docs = load_docs('i');
    ASSERT_FALSE(docs.empty());
    std::mutex mu;
    std::vector<std::string> crashed;
    for_each_concurrently(docs, [&](const Doc& doc) {
        for (const std::string& input :
             {encode_frame(doc.bytes) + encode_frame(""), with_data(1, doc.bytes)}) {
            auto r = run_process({agent_path(), "serve"}, input);
            if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0 || !r.err.empty()) {
                std::lock_guard<std::mutex> lock(mu);
                crashed.push_back(doc.name + " (status " + std::to_string(r.status) + ")");
            }
        }
    });
    EXPECT_TRUE(crashed.empty()) << testing::PrintToString(crashed);
}

}  // namespace
