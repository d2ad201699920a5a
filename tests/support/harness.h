// Helpers shared by the test programs: temporary directories, files, and running the agent
// binary with fixed input.
#pragma once

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

}  // namespace vesk::test
