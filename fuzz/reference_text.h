// Slow, obvious reference versions of the text helpers, for differential fuzzing. They are
// written from the definitions (UTF-8 as the encoding of code points, "maximal subpart" as the
// longest prefix of some well-formed sequence) rather than from byte-range tables, so they do
// not share the production code's shortcuts.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>

#include "agent/unicode_table.h"

namespace vesk::fuzz {

inline constexpr char32_t kReplacementChar = 0xFFFD;

inline bool is_surrogate(char32_t cp) {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

// The textbook encoder: no validity checks, shortest form by construction.
inline std::string encode_utf8(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

inline std::string encode_utf8(std::u32string_view cps) {
    std::string out;
    for (char32_t cp : cps) out += encode_utf8(cp);
    return out;
}

// Whether seq is exactly the encoding of one Unicode scalar value: decode by the bit pattern,
// then demand that encoding the result gives the same bytes back (which rules out overlongs).
inline bool well_formed(std::string_view seq, char32_t* cp_out) {
    if (seq.empty()) return false;
    const auto lead = static_cast<unsigned char>(seq[0]);
    std::size_t len;
    char32_t cp;
    if (lead < 0x80) {
        len = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, cp = lead & 0x07;
    } else {
        return false;
    }
    if (seq.size() != len) return false;
    for (std::size_t i = 1; i < len; ++i) {
        const auto c = static_cast<unsigned char>(seq[i]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp > 0x10FFFF || is_surrogate(cp) || encode_utf8(cp) != seq) return false;
    *cp_out = cp;
    return true;
}

// Every proper prefix of the encoding of every scalar value: built once by brute force.
inline const std::unordered_set<std::string>& proper_prefixes() {
    static const std::unordered_set<std::string> set = [] {
        std::unordered_set<std::string> s;
        for (char32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
            if (is_surrogate(cp)) continue;
            const std::string e = encode_utf8(cp);
            for (std::size_t k = 1; k < e.size(); ++k) s.insert(e.substr(0, k));
        }
        return s;
    }();
    return set;
}

// Code points of bytes, one U+FFFD per maximal subpart of an ill-formed sequence. *valid is
// false when any replacement was made.
inline std::u32string decode_lossy(std::string_view bytes, bool* valid) {
    std::u32string out;
    *valid = true;
    std::size_t i = 0;
    while (i < bytes.size()) {
        bool decoded = false;
        for (std::size_t len = 1; len <= 4 && i + len <= bytes.size(); ++len) {
            char32_t cp;
            if (well_formed(bytes.substr(i, len), &cp)) {
                out += cp;
                i += len;
                decoded = true;
                break;
            }
        }
        if (decoded) continue;
        std::size_t subpart = 1;
        for (std::size_t len = 1; len <= 3 && i + len <= bytes.size(); ++len) {
            if (proper_prefixes().count(std::string(bytes.substr(i, len)))) subpart = len;
        }
        out += kReplacementChar;
        *valid = false;
        i += subpart;
    }
    return out;
}

// The quoted form, character by character as it is defined.
inline std::string quote(std::string_view text) {
    bool valid;
    const std::u32string cps = decode_lossy(text, &valid);
    std::string out = "\"";
    for (char32_t cp : cps) {
        switch (cp) {
            case U'"':
                out += "\\\"";
                break;
            case U'\\':
                out += "\\\\";
                break;
            case 0:
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
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
                    out += buf;
                } else {
                    out += encode_utf8(cp);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace vesk::fuzz
