#include "common/text.h"

#include <cstdint>
#include <cstring>

#include "common/unicode_table.h"

namespace vesk {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Second-byte bounds per lead byte rule out overlongs (E0, F0), surrogates (ED) and values
// above U+10FFFF (F4); every later continuation byte is 80..BF.
struct LeadRule {
    std::size_t length;  // 0: never starts a well-formed sequence
    unsigned char second_lo;
    unsigned char second_hi;
};

constexpr LeadRule lead_rule(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// What starts at some position: a well-formed sequence of `length` bytes, or (valid false)
// a maximal invalid subpart of `length` bytes that is replaced by one U+FFFD.
struct Sequence {
    std::size_t length;
    bool valid;
};

Sequence sequence_at(const unsigned char* p, std::size_t avail) {
    if (p[0] < 0x80) return {1, true};
    const LeadRule rule = lead_rule(p[0]);
    if (rule.length == 0) return {1, false};
    if (avail < 2 || p[1] < rule.second_lo || p[1] > rule.second_hi) return {1, false};
    for (std::size_t i = 2; i < rule.length; ++i) {
        if (i >= avail || (p[i] & 0xC0) != 0x80) return {i, false};
    }
    return {rule.length, true};
}

bool all_ascii8(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return (word & 0x8080808080808080ULL) == 0;
}

// Length of the longest well-formed prefix of bytes.
std::size_t valid_prefix(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8 && all_ascii8(p + i)) {
            i += 8;
            continue;
        }
        const Sequence s = sequence_at(p + i, n - i);
        if (!s.valid) return i;
        i += s.length;
    }
    return n;
}

// Decodes the well-formed sequence at the start of text; returns its code point and length.
char32_t decode_one(std::string_view text, std::size_t& length) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    if (p[0] < 0x80) {
        length = 1;
        return p[0];
    }
    length = lead_rule(p[0]).length;
    char32_t cp = p[0] & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3F);
    return cp;
}

void append_hex_escape(std::string& out, char32_t cp) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) out += buf[--n];
    out += '}';
}

// Length of the White_Space character that starts text, or 0.
std::size_t leading_space(std::string_view t) {
    if (t.empty()) return 0;
    const auto b = static_cast<unsigned char>(t[0]);
    if ((b >= 0x09 && b <= 0x0D) || b == 0x20) return 1;
    if (t.starts_with("\xC2\x85") || t.starts_with("\xC2\xA0")) return 2;
    if (t.size() < 3) return 0;
    const std::string_view head = t.substr(0, 3);
    const auto last = static_cast<unsigned char>(t[2]);
    if (head == "\xE1\x9A\x80" || head == "\xE2\x81\x9F" || head == "\xE3\x80\x80") return 3;
    if (head.starts_with("\xE2\x80") &&
        ((last >= 0x80 && last <= 0x8A) || last == 0xA8 || last == 0xA9 || last == 0xAF)) {
        return 3;
    }
    return 0;
}

// Length of the White_Space character that ends text, or 0. Continuation bytes never start
// a character, so a match of a whole encoded character at the end is that character.
std::size_t trailing_space(std::string_view t) {
    if (t.empty()) return 0;
    const auto b = static_cast<unsigned char>(t.back());
    if ((b >= 0x09 && b <= 0x0D) || b == 0x20) return 1;
    if (t.ends_with("\xC2\x85") || t.ends_with("\xC2\xA0")) return 2;
    if (t.size() >= 3 && leading_space(t.substr(t.size() - 3)) == 3) return 3;
    return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    return valid_prefix(bytes) == bytes.size();
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t good = valid_prefix(bytes);
        out.append(bytes.data(), good);
        bytes.remove_prefix(good);
        if (bytes.empty()) break;
        const Sequence bad =
            sequence_at(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        out += kReplacement;
        bytes.remove_prefix(bad.length);
    }
    return out;
}

std::string debug_quote(std::string_view text) {
    std::string repaired;
    if (!is_valid_utf8(text)) {
        repaired = utf8_lossy(text);
        text = repaired;
    }
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    while (!text.empty()) {
        std::size_t length = 0;
        const char32_t cp = decode_one(text, length);
        switch (cp) {
            case U'"':
                out += "\\\"";
                break;
            case U'\\':
                out += "\\\\";
                break;
            case U'\0':
                out += "\\0";
                break;
            case U'\t':
                out += "\\t";
                break;
            case U'\n':
                out += "\\n";
                break;
            case U'\r':
                out += "\\r";
                break;
            default:
                if (needs_unicode_escape(cp)) {
                    append_hex_escape(out, cp);
                } else {
                    out.append(text.data(), length);
                }
        }
        text.remove_prefix(length);
    }
    out += '"';
    return out;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    while (std::size_t n = leading_space(text)) text.remove_prefix(n);
    while (std::size_t n = trailing_space(text)) text.remove_suffix(n);
    return text;
}

}  // namespace vesk
