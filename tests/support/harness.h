// Helpers shared by the test programs: temporary directories, files, and running the agent
// binary with fixed input.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::test {

// Path of the vesk-agent binary under test.
const char* agent_path();

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

void write_file(const std::string& path, std::string_view content);
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);  // lstat succeeds

struct ProcessResult {
    int status = -1;        // wait status
    int exit_code() const;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs argv with the given standard input (fed concurrently) and collects both outputs.
// env: changes to the inherited environment (nullopt removes the variable).
ProcessResult run_process(
    const std::vector<std::string>& argv, std::string_view input = {},
    const std::vector<std::pair<std::string, std::optional<std::string>>>& env = {});

// The C library's error text in the agent's form, computed here rather than hard-coded.
std::string os_error(int err);

// Expected reply headers, spelled out independently of the agent's encoder.
std::string reply_header(std::uint64_t id, const nlohmann::json& data = nullptr);
std::string error_header(std::uint64_t id, const std::string& text);

// Every test program talks to agents through pipes: a write to an agent that has gone must
// fail with EPIPE rather than end the program. True once SIGPIPE is ignored (at start-up).
extern const bool kSigpipeIgnored;

}  // namespace vesk::test
