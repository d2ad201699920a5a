// The frame codec, shared by the agent, the client library and the tests.
//
// A message in either direction is two frames: a header frame holding a compact JSON envelope
// (Header) and a body frame of raw bytes. A frame is a 4-byte big-endian length, then that many
// bytes. Nothing here does I/O: the agent's reader and writer, the client and the tests move
// the bytes; this file says what they mean.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// Largest payload the agent accepts. Beyond it the length is taken as a sign that framing was
// lost, not as a request to allocate gigabytes.
inline constexpr std::uint32_t kMaxFrameLen = 0x40000000;
// Largest payload a frame's 32-bit length can describe: the bound on what the agent writes.
inline constexpr std::size_t kMaxWrittenFrameLen = 0xFFFFFFFFu;

struct Header {
    std::uint64_t id = 0;
    std::optional<std::string> method;
    nlohmann::json data;  // null when absent
    std::optional<std::string> error;
};

// A string member of a reply's data held outside the JSON value, written after the value's own
// members (so its name must sort after theirs): a long text goes from its buffer into the frame
// without a copy. Bytes that are not UTF-8 are repaired. Empty name: none.
struct DataText {
    std::string_view name;
    std::string_view text;
    // With a gap, the text's JSON form is left out of the frames, to be written from a buffer
    // of its own (put_json_string): the frames say where it goes and the header's length
    // counts it. The text must then be UTF-8.
    struct Gap {
        std::size_t at = 0;    // offset in the frames
        std::size_t size = 0;  // json_string_size(text)
    }* gap = nullptr;
};

// The JSON string form of UTF-8 text, quotes included: its size, and writing it to out (which
// has that much room); returns the end of what was written.
std::size_t json_string_size(std::string_view utf8);
char* put_json_string(char* out, std::string_view utf8);

void put_be32(char* p, std::uint32_t n);
std::uint32_t get_be32(const char* p);

// One frame: the length prefix, then the payload.
std::string encode_frame(std::string_view payload);

// Decodes a header frame's payload (a request or a reply). Returns nothing when it is not a
// valid envelope; *why (if given) then says what was wrong. Throws std::bad_alloc when memory
// ran out, which says nothing about the envelope.
std::optional<Header> decode_envelope(std::string_view payload, std::string* why = nullptr);

// The envelope's exact output form: {"id":N,"method":...,"data":...,"error":...}, members
// present only as the Header says, compact, no trailing newline. Strings that are not UTF-8
// are repaired (U+FFFD) rather than written as they are.
std::string encode_envelope(const Header& h);

// The frames that come before a body of body_len bytes: the header frame and the body frame's
// length prefix. False when either is too long for a 32-bit length.
bool encode_head(const Header& h, std::size_t body_len, std::string& frames, DataText extra = {});

// The reply that stands in for a message too long to frame: "Message too long (os error 90)".
Header too_long_reply(std::uint64_t id);

// The complete bytes of one message. A message too long to frame becomes too_long_reply.
std::string encode_message(const Header& header, std::string_view body = {});

// Cuts a byte stream into frame payloads. False when it does not end exactly at a frame
// boundary; *rest is then the offset of the first incomplete frame.
bool split_frames(std::string_view stream, std::vector<std::string_view>& frames,
                  std::size_t* rest = nullptr);

}  // namespace vesk
