// The wire: frames (4-byte big-endian length + payload), the JSON envelope (Header), and
// write_message, the only path by which anything reaches the protocol stream.
//
// Thread rules: InputReader belongs to the serve loop alone. write_message may be called from
// any thread at any time; SharedOutput's mutex keeps each message whole and in lock order.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The protocol stream. Messages are queued in the order their writers hand them over, and one
// writer at a time drains the queue with writev, so many small replies leave in one system
// call and no writer ever waits behind another's slow output. A message is never split or
// interleaved with another.
class SharedOutput {
  public:
    explicit SharedOutput(int fd) : fd_(fd) {}
    SharedOutput(const SharedOutput&) = delete;
    SharedOutput& operator=(const SharedOutput&) = delete;
    int fd() const { return fd_; }

    // Queues one encoded message (frames: header frame + body length prefix, then the body)
    // and, unless another thread is writing already, writes the queue out.
    void submit(std::string head, Bytes body);

    // Stops all further output once what is queued has been written, so the process can exit
    // without cutting a message in half. Waits while the queue drains; gives up when no
    // progress is made for `stall` (a reader that stopped reading must not hold the exit back
    // for ever). Messages submitted afterwards are dropped.
    bool seal(std::chrono::milliseconds stall);

  private:
    struct Pending {
        std::string head;
        Bytes body;
    };
    void drain(std::unique_lock<std::mutex>& lock);

    int fd_;
    std::mutex mu_;
    std::condition_variable progress_cv_;
    std::vector<Pending> queue_;
    bool writing_ = false;
    bool sealed_ = false;
    std::uint64_t progress_ = 0;
};

// Writes one message (header frame + body frame). Never fails from the caller's view: output
// errors lose the message silently. A header or body too long for a 32-bit length is replaced
// by the error reply "Message too long (os error 90)" for the same id. The message may still
// be queued when this returns; it owns its body.
void write_message(SharedOutput& out, const Header& header, Bytes body);
void write_message(SharedOutput& out, const Header& header, std::string_view body = {});

// Builds the complete bytes of one message; for tests and the client library.
std::string encode_message(const Header& header, std::string_view body);

}  // namespace vesk
