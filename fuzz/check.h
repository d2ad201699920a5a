// Failure reporting shared by the fuzz targets: a broken invariant prints what was expected and
// aborts, so libFuzzer keeps the input as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vesk::fuzz {

// Printable rendering of arbitrary bytes for failure messages.
inline std::string escaped(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

[[noreturn]] inline void fail(const char* file, int line, const char* what,
                              std::string_view detail) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", int(detail.size()), detail.data());
    std::abort();
}

inline std::string_view detail_of() {
    return {};
}
inline std::string_view detail_of(std::string_view detail) {
    return detail;
}

}  // namespace vesk::fuzz

// FUZZ_CHECK(condition) or FUZZ_CHECK(condition, detail-string).
#define FUZZ_CHECK(cond, ...)                                                                    \
    do {                                                                                         \
        if (!(cond))                                                                             \
            ::vesk::fuzz::fail(__FILE__, __LINE__, #cond, ::vesk::fuzz::detail_of(__VA_ARGS__)); \
    } while (0)
