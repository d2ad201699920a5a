// The frame codec: length prefixes and the envelope's exact output form.
#include "common/codec.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

#include "common/sys.h"
#include "common/text.h"

namespace vesk {

using json = nlohmann::json;

namespace {

// Offset of the first byte at or after i that a JSON string must escape (a control byte, a
// quotation mark or a backslash), or n. Eight bytes at a time: stderr can be tens of megabytes.
std::size_t next_escape(const char* p, std::size_t i, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101u;
        constexpr std::uint64_t kHigh = 0x8080808080808080u;
        for (; n - i >= 8; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t quote = w ^ (kOnes * '"');
            const std::uint64_t slash = w ^ (kOnes * '\\');
            // Each term flags its byte test exactly at the lowest matching byte (borrows only
            // create false flags above a true one), so the lowest flag overall is a true one.
            const std::uint64_t hit = (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
                                       ((slash - kOnes) & ~slash)) &
                                      kHigh;
            if (hit) return i + static_cast<std::size_t>(std::countr_zero(hit)) / 8;
        }
    }
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c == '"' || c == '\\') return i;
    }
    return n;
}

// JSON string escaping: quotation mark and backslash, the five short control escapes, every
// other control byte as \u00xx; all else (DEL, '/', non-ASCII) as it is. The escape of c (a
// byte next_escape stopped at) is written to esc; returns its length.
std::size_t escape(unsigned char c, char (&esc)[6]) {
    static constexpr char kHex[] = "0123456789abcdef";
    esc[0] = '\\';
    switch (c) {
        case '"':
        case '\\':
            esc[1] = static_cast<char>(c);
            return 2;
        case '\b':
            esc[1] = 'b';
            return 2;
        case '\t':
            esc[1] = 't';
            return 2;
        case '\n':
            esc[1] = 'n';
            return 2;
        case '\f':
            esc[1] = 'f';
            return 2;
        case '\r':
            esc[1] = 'r';
            return 2;
        default:
            esc[1] = 'u', esc[2] = '0', esc[3] = '0', esc[4] = kHex[c >> 4], esc[5] = kHex[c & 0xF];
            return 6;
    }
}

// Calls put(bytes, count) for the pieces of s's JSON string form, quotes included. Runs of
// bytes that need nothing go in one piece: a multi-megabyte stderr text is mostly such runs.
template <class Put>
void json_string_pieces(std::string_view s, Put put) {
    put("\"", 1);
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t run = 0;
    for (std::size_t i = next_escape(p, 0, n); i < n; i = next_escape(p, i + 1, n)) {
        put(p + run, i - run);
        run = i + 1;
        char esc[6];
        put(esc, escape(static_cast<unsigned char>(p[i]), esc));
    }
    put(p + run, n - run);
    put("\"", 1);
}

void append_json_string(std::string& out, std::string_view s) {
    if (!is_valid_utf8(s)) {
        // Handlers hand over UTF-8 only; this keeps a stray byte from reaching the stream.
        append_json_string(out, utf8_lossy(s));
        return;
    }
    // Room for the common case of a few escapes, so a large text is not copied while growing.
    out.reserve(out.size() + s.size() + s.size() / 16 + 2);
    json_string_pieces(s, [&](const char* p, std::size_t n) { out.append(p, n); });
}

void append_json(std::string& out, const json& v) {
    switch (v.type()) {
        case json::value_t::string:
            append_json_string(out, v.get_ref<const std::string&>());
            return;
        case json::value_t::array: {
            out += '[';
            bool first = true;
            for (const json& element : v) {
                if (!first) out += ',';
                first = false;
                append_json(out, element);
            }
            out += ']';
            return;
        }
        case json::value_t::object: {
            // Members come out in byte order of their names: the value is an ordered map.
            out += '{';
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, it.key());
                out += ':';
                append_json(out, it.value());
            }
            out += '}';
            return;
        }
        case json::value_t::number_integer:
            out += std::to_string(v.get<json::number_integer_t>());
            return;
        case json::value_t::number_unsigned:
            out += std::to_string(v.get<json::number_unsigned_t>());
            return;
        default:
            // null, booleans and floats (shortest form that reads back; non-finite as null).
            out += v.dump();
            return;
    }
}

}  // namespace

void put_be32(char* p, std::uint32_t n) {
    p[0] = static_cast<char>(n >> 24);
    p[1] = static_cast<char>(n >> 16);
    p[2] = static_cast<char>(n >> 8);
    p[3] = static_cast<char>(n);
}

std::uint32_t get_be32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}

std::size_t json_string_size(std::string_view s) {
    std::size_t size = 0;
    json_string_pieces(s, [&](const char*, std::size_t n) { size += n; });
    return size;
}

char* put_json_string(char* out, std::string_view s) {
    json_string_pieces(s, [&](const char* p, std::size_t n) {
        std::memcpy(out, p, n);
        out += n;
    });
    return out;
}

std::string encode_frame(std::string_view payload) {
    std::string out(4, '\0');
    put_be32(out.data(), static_cast<std::uint32_t>(payload.size()));
    out.append(payload);
    return out;
}

// [len(J)][J][len(B)]
bool encode_head(const Header& h, std::size_t body_len, std::string& frames, DataText extra) {
    frames.assign(4, '\0');
    frames.reserve(128);
    frames += "{\"id\":";
    frames += std::to_string(h.id);
    if (h.method) {
        frames += ",\"method\":";
        append_json_string(frames, *h.method);
    }
    if (!h.data.is_null()) {
        frames += ",\"data\":";
        append_json(frames, h.data);
        if (!extra.name.empty() && frames.back() == '}') {
            frames.pop_back();
            if (frames.back() != '{') frames += ',';
            append_json_string(frames, extra.name);
            frames += ':';
            if (extra.gap) {
                extra.gap->at = frames.size();
                extra.gap->size = json_string_size(extra.text);
            } else {
                append_json_string(frames, extra.text);
            }
            frames += '}';
        }
    }
    if (h.error) {
        frames += ",\"error\":";
        append_json_string(frames, *h.error);
    }
    frames += '}';
    std::size_t header_len = frames.size() - 4 + (extra.gap ? extra.gap->size : 0);
    if (header_len > kMaxWrittenFrameLen || body_len > kMaxWrittenFrameLen) return false;
    put_be32(frames.data(), static_cast<std::uint32_t>(header_len));
    frames.resize(frames.size() + 4);
    put_be32(frames.data() + frames.size() - 4, static_cast<std::uint32_t>(body_len));
    return true;
}

Header too_long_reply(std::uint64_t id) {
    Header h;
    h.id = id;
    h.error = os_error_text(EMSGSIZE);
    return h;
}

std::string encode_envelope(const Header& h) {
    std::string frames;
    encode_head(h, 0, frames);
    return frames.substr(4, frames.size() - 8);
}

std::string encode_message(const Header& header, std::string_view body) {
    std::string frames;
    if (!encode_head(header, body.size(), frames)) {
        encode_head(too_long_reply(header.id), 0, frames);
        return frames;
    }
    frames.append(body);
    return frames;
}

bool split_frames(std::string_view stream, std::vector<std::string_view>& frames,
                  std::size_t* rest) {
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        std::uint32_t n = get_be32(stream.data() + at);
        if (stream.size() - at - 4 < n) break;
        frames.push_back(stream.substr(at + 4, n));
        at += 4 + std::size_t{n};
    }
    if (rest) *rest = at;
    return at == stream.size();
}

}  // namespace vesk
