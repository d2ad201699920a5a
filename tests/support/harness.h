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

// Protocol framing, written here independently of the agent's and the client's encoders.
std::string be32(std::uint32_t n);
std::string frame(std::string_view payload);  // 4-byte big-endian length, then the payload
// Cuts a byte stream into frame payloads. False when it does not end exactly at a frame
// boundary; *at is then the offset of the first incomplete frame.
bool split_frames(std::string_view raw, std::vector<std::string_view>& frames,
                  std::size_t* at = nullptr);

// Sanitizer builds: those cannot run under an address-space cap (they reserve terabytes of
// shadow memory) and are slower, so some tests skip or scale down.
#if defined(__has_feature)
#define VESK_TEST_HAS(x) __has_feature(x)
#else
#define VESK_TEST_HAS(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || VESK_TEST_HAS(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || VESK_TEST_HAS(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#if VESK_TEST_HAS(undefined_behavior_sanitizer)
inline constexpr bool kUndefinedSanitizer = true;
#else
inline constexpr bool kUndefinedSanitizer = false;
#endif
inline constexpr bool kSanitized = kThreadSanitizer || kAddressSanitizer;

// Every test program talks to agents through pipes: a write to an agent that has gone must
// fail with EPIPE rather than end the program. True once SIGPIPE is ignored (at start-up).
extern const bool kSigpipeIgnored;

}  // namespace vesk::test
