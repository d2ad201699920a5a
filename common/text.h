// Text helpers: lossy UTF-8 decoding, the quoted (debug) form of a text, white-space trim.
#pragma once

#include <string>
#include <string_view>

namespace vesk {

// True when bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each maximal invalid subpart by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// The quoted form of a UTF-8 text: quotation marks around it; \" \\ \0 \t \n \r escaped;
// other non-printable characters and grapheme-extending marks as \u{hex}.
std::string debug_quote(std::string_view text);

// Strips Unicode White_Space from both ends of a UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace vesk
