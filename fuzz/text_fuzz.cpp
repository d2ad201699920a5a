// UTF-8 repair, debug quoting and white-space trimming on any bytes. Repair must give UTF-8,
// leave UTF-8 alone and not depend on where the text sits (the scan goes eight bytes at a
// time); quoting must be printable and undo to the repaired text; trimming must be a stable
// part of its input that ignores white space added around it.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "common/unicode_table.h"
#include "fuzz/check.h"

namespace {

using namespace std::string_view_literals;

std::string utf8(char32_t cp) {
    if (cp < 0x80) return std::string(1, static_cast<char>(cp));
    const int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    std::string s(static_cast<std::size_t>(n), '\0');
    for (int i = n - 1; i > 0; --i, cp >>= 6) s[i] = static_cast<char>(0x80 | (cp & 0x3F));
    s[0] = static_cast<char>(((0xFF00 >> n) & 0xFF) | cp);
    return s;
}

// Reads the quoted form back; every \u{} must be one the table asks for, in its shortest form.
std::string unquote(std::string_view q) {
    FUZZ_CHECK(q.size() >= 2 && q.front() == '"' && q.back() == '"');
    std::string out;
    for (std::size_t i = 1; i + 1 < q.size(); ++i) {
        const char c = q[i];
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && c != '"');
        if (c != '\\') {
            out += c;
            continue;
        }
        const char e = q[++i];
        const std::string_view simple = "\"\"\\\\0\0t\tn\nr\r"sv;
        if (const std::size_t at = simple.find(e); e != 'u' && at % 2 == 0) {
            out += simple[at + 1];
            continue;
        }
        FUZZ_CHECK(e == 'u' && q[++i] == '{' && q[i + 1] != '0' && q[i + 1] != '}');
        char32_t cp = 0;
        for (++i; q[i] != '}'; ++i) {
            const std::size_t digit = std::string_view("0123456789abcdef").find(q[i]);
            FUZZ_CHECK(digit != std::string_view::npos && cp < 0x100000);
            cp = cp * 16 + static_cast<char32_t>(digit);
        }
        FUZZ_CHECK(vesk::needs_unicode_escape(cp));
        out += utf8(cp);
    }
    return out;
}

}  // namespace

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
    FUZZ_CHECK(unquote(quoted) == lossy);

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
