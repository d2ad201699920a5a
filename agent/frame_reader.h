// The frame reader: one buffered reader over the agent's input, owned by the serve loop alone.
//
// Small reads (length prefixes, headers) come from its buffer; large payloads are read
// straight into their own buffer, which grows only as the bytes arrive: a length announced by
// the peer costs nothing until the bytes are really there. An input left non-blocking by
// whoever started the agent is waited on, never taken for an end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/bytes.h"
#include "common/codec.h"

namespace vesk {

enum class ReadStatus { ok, end_of_input, error, no_memory };

struct FrameLen {
    ReadStatus status = ReadStatus::ok;
    std::uint32_t len = 0;
};

class InputReader {
  public:
    explicit InputReader(int fd, std::size_t buffer_size = 64 * 1024);
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;
    ~InputReader();

    // Reads exactly n bytes. end_of_input when the input ended first, error on any other read
    // failure.
    ReadStatus read_exact(void* dst, std::size_t n);
    // Reads and drops n bytes.
    ReadStatus discard(std::size_t n);
    // Reads an n-byte payload into out, growing it as the bytes arrive. When it cannot grow,
    // waits with a short back-off for up to `patience` for memory to come back; no_memory
    // after that: the rest of the payload has then been read and dropped, so the stream is
    // still in step.
    ReadStatus read_payload(std::string& out, std::size_t n,
                            std::chrono::milliseconds patience = {});
    ReadStatus read_payload(Bytes& out, std::size_t n);
    // True when the buffer already holds a whole request (both frames): reading it will not
    // wait for input.
    bool holds_request() const;

  private:
    template <class Buffer>
    ReadStatus read_growing(Buffer& out, std::size_t n, std::chrono::milliseconds patience);
    ReadStatus fill();
    bool wait_readable();
    int fd_;
    char* buf_;
    std::size_t cap_;
    std::size_t pos_ = 0;  // next unread byte; advanced only in read_exact
    std::size_t end_ = 0;
};

// A frame's length prefix; error when it exceeds kMaxFrameLen (framing is lost).
FrameLen read_frame_len(InputReader& in);

}  // namespace vesk
