// The wire: frames (4-byte big-endian length + payload), the JSON envelope (Header), and
// write_message, the only path by which anything reaches the protocol stream.
//
// Thread rules: InputReader belongs to the serve loop alone. write_message may be called from
// any thread at any time; SharedOutput's mutex keeps each message whole and in lock order.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "agent/bytes.h"

namespace vesk {

// Largest payload accepted from the controller. Beyond it the length is taken as a sign that
// framing was lost, not as a request to allocate gigabytes.
inline constexpr std::uint32_t kMaxFrameLen = 0x40000000;

struct Header {
    std::uint64_t id = 0;
    std::optional<std::string> method;
    nlohmann::json data;  // null when absent
    std::optional<std::string> error;
};

enum class ReadStatus { ok, end_of_input, error };

struct FrameLen {
    ReadStatus status = ReadStatus::ok;
    std::uint32_t len = 0;
    std::string error_text;  // for ReadStatus::error; never shown to anyone, kept for tests
};

// One buffered reader over an input descriptor. Small reads (length prefixes, headers) come
// from its buffer; large payloads are read straight into their own buffer.
class InputReader {
  public:
    explicit InputReader(int fd, std::size_t buffer_size = 64 * 1024);
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;
    ~InputReader();

    // Reads exactly n bytes. end_of_input when the input ended first (*got says how many
    // bytes arrived), error on any other read failure (errno in *err).
    ReadStatus read_exact(void* dst, std::size_t n, std::size_t* got = nullptr, int* err = nullptr);
    // Reads and drops n bytes.
    ReadStatus discard(std::size_t n);

  private:
    ReadStatus fill(int* err);
    int fd_;
    char* buf_;
    std::size_t cap_;
    std::size_t pos_ = 0;  // next unread byte; advanced only in read_exact and discard
    std::size_t end_ = 0;
};

FrameLen read_frame_len(InputReader& in);

// Decodes a header frame's payload. Returns nothing when it is not a valid envelope; *why (if
// given) then says what was wrong, for tests.
std::optional<Header> decode_envelope(std::string_view payload, std::string* why = nullptr);

// The envelope's exact output form: {"id":N,"method":...,"data":...,"error":...}, members
// present only as the Header says, compact, no trailing newline.
std::string encode_envelope(const Header& h);

// The protocol stream: one descriptor behind one mutex.
class SharedOutput {
  public:
    explicit SharedOutput(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    std::timed_mutex& mutex() { return mu_; }

    // Takes the output lock and keeps it, so no message starts or is cut after this returns
    // true. Used just before the process exits; gives up after the timeout so a reader that
    // stopped reading cannot hold the exit back forever.
    bool seal(std::chrono::milliseconds timeout);

  private:
    int fd_;
    std::timed_mutex mu_;
};

// Writes one message (header frame + body frame). Never fails from the caller's view: output
// errors lose the message silently. A header or body too long for a 32-bit length is replaced
// by the error reply "Message too long (os error 90)" for the same id.
void write_message(SharedOutput& out, const Header& header, std::string_view body = {});
inline void write_message(SharedOutput& out, const Header& header, const Bytes& body) {
    write_message(out, header, body.view());
}

// Builds the complete bytes of one message; for tests and the client library.
std::string encode_message(const Header& header, std::string_view body);

}  // namespace vesk
