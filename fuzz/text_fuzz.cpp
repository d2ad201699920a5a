// UTF-8 repair, debug quoting and white-space trimming on any bytes. Repair must give UTF-8,
// leave UTF-8 alone and not depend on where the text sits (the scan goes eight bytes at a
// time); quoting must be printable, see only the repaired text, and leave text that needs no
// escape as it is; trimming must be a stable part of its input that ignores white space added
// around it.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::string lossy = vesk::utf8_lossy(in);
    const bool valid = vesk::is_valid_utf8(in);
    FUZZ_CHECK(vesk::is_valid_utf8(lossy) && valid == (lossy == in));
    FUZZ_CHECK(vesk::utf8_lossy(lossy) == lossy);
    for (const char* pad : {"a", "bcdef", "ghijklm", "nopqrstu"}) {
        FUZZ_CHECK(vesk::utf8_lossy(pad + in + pad) == pad + lossy + pad);
    }

    const std::string quoted = vesk::debug_quote(in);
    FUZZ_CHECK(quoted == vesk::debug_quote(lossy) && vesk::is_valid_utf8(quoted));
    FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
    for (const unsigned char c : quoted) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
    const std::string_view inner = std::string_view(quoted).substr(1, quoted.size() - 2);
    FUZZ_CHECK(inner.find_first_of("\\\"") != inner.npos || inner == lossy);

    const std::string_view trimmed = vesk::trim_unicode_whitespace(in);
    FUZZ_CHECK(trimmed.data() >= in.data() &&
               trimmed.data() + trimmed.size() <= in.data() + in.size());
    FUZZ_CHECK(vesk::trim_unicode_whitespace(trimmed) == trimmed);
    if (valid) {
        const std::string padded = " \t\xE3\x80\x80" + in + "\xE2\x80\xA8\xC2\x85\r";
        FUZZ_CHECK(vesk::trim_unicode_whitespace(padded) == trimmed);
    }
    return 0;
}
