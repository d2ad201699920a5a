// Lossy UTF-8 decoding, validation, debug quoting and white-space trimming, each compared with
// the reference in reference_text.h or with properties that hold whatever the Unicode tables say.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "agent/text.h"
#include "agent/unicode_table.h"
#include "fuzz/check.h"
#include "fuzz/reference_text.h"

namespace {

using namespace vesk::fuzz;

bool is_control(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Undoes the quoted form; quoting must lose nothing but the invalid bytes.
std::u32string unquote(std::u32string_view q) {
    std::u32string out;
    for (std::size_t i = 1; i + 1 < q.size(); ++i) {
        if (q[i] != U'\\') {
            out += q[i];
            continue;
        }
        FUZZ_CHECK(i + 2 < q.size(), "dangling backslash");
        const char32_t e = q[++i];
        if (e == U'"' || e == U'\\') {
            out += e;
        } else if (e == U'0') {
            out += U'\0';
        } else if (e == U't') {
            out += U'\t';
        } else if (e == U'n') {
            out += U'\n';
        } else if (e == U'r') {
            out += U'\r';
        } else {
            FUZZ_CHECK(e == U'u' && i + 1 < q.size() && q[i + 1] == U'{', "unknown escape");
            i += 2;
            char32_t cp = 0;
            std::size_t digits = 0;
            for (; i < q.size() && q[i] != U'}'; ++i, ++digits) {
                const char32_t d = q[i];
                FUZZ_CHECK((d >= U'0' && d <= U'9') || (d >= U'a' && d <= U'f'),
                           "\\u{} holds a character that is not a lowercase hex digit");
                cp = cp * 16 + (d <= U'9' ? d - U'0' : d - U'a' + 10);
            }
            FUZZ_CHECK(digits >= 1 && digits <= 6 && i < q.size(), "malformed \\u{}");
            FUZZ_CHECK(digits == 1 || q[i - digits] != U'0', "\\u{} with leading zeros");
            out += cp;
        }
    }
    return out;
}

void check_escape_table_once() {
    static const bool done = [] {
        for (char32_t cp = 0; cp < 0x80; ++cp) {
            FUZZ_CHECK(vesk::needs_unicode_escape(cp) == is_control(cp),
                       "ASCII: only control characters are escaped");
        }
        for (char32_t cp = 0x80; cp <= 0x9F; ++cp) FUZZ_CHECK(vesk::needs_unicode_escape(cp));
        for (char32_t cp = 0xD800; cp <= 0xDFFF; ++cp) FUZZ_CHECK(vesk::needs_unicode_escape(cp));
        FUZZ_CHECK(vesk::needs_unicode_escape(0x110000));
        FUZZ_CHECK(vesk::needs_unicode_escape(0xFFFFFFFF));
        return true;
    }();
    (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_escape_table_once();
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string shown = escaped(in);

    bool valid = false;
    const std::u32string cps = decode_lossy(in, &valid);
    const std::string expected = encode_utf8(cps);

    FUZZ_CHECK(vesk::is_valid_utf8(in) == valid, shown);
    const std::string lossy = vesk::utf8_lossy(in);
    FUZZ_CHECK(lossy == expected,
               shown + " gave " + escaped(lossy) + ", want " + escaped(expected));
    FUZZ_CHECK(vesk::is_valid_utf8(lossy), shown);
    if (valid) FUZZ_CHECK(lossy == in, shown);

    const std::string quoted = vesk::debug_quote(in);
    const std::string want_quoted = quote(in);
    FUZZ_CHECK(quoted == want_quoted,
               shown + " quoted " + escaped(quoted) + ", want " + escaped(want_quoted));
    bool quoted_valid = false;
    const std::u32string q = decode_lossy(quoted, &quoted_valid);
    FUZZ_CHECK(quoted_valid, shown);
    FUZZ_CHECK(q.size() >= 2 && q.front() == U'"' && q.back() == U'"', shown);
    for (char32_t cp : q) FUZZ_CHECK(!is_control(cp), shown + ": raw control character");
    FUZZ_CHECK(unquote(q) == cps, shown + ": quoting lost characters");

    const std::string_view trimmed = vesk::trim_unicode_whitespace(in);
    FUZZ_CHECK(
        trimmed.data() >= in.data() && trimmed.data() + trimmed.size() <= in.data() + in.size(),
        shown);
    if (valid) {
        std::size_t first = 0, last = cps.size();
        while (first < last && is_white_space(cps[first])) ++first;
        while (last > first && is_white_space(cps[last - 1])) --last;
        const std::string want = encode_utf8(std::u32string_view(cps).substr(first, last - first));
        FUZZ_CHECK(trimmed == want, shown + " trimmed to " + escaped(trimmed));
    }
    return 0;
}
