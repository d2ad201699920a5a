// count_lines on real files against a naive count. The input describes the file rather than
// being it, so files near the 8000-byte NUL probe and the 1000000-byte size limit are reached
// without megabyte inputs:
//   byte 0: bit 0 repeats the pattern to ~8000 bytes, or to ~1000000 bytes when bit 1 and
//           bit 4 are also set (kept rare: a megabyte file per run is slow);
//           bit 2 removes NULs from the pattern; bit 3 puts one NUL near byte 8000
//   byte 1: fine size offset; byte 2: offset of that NUL; the rest: the pattern.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "vesk_wire/count_lines.h"

namespace {

std::string dir_path;
std::string file_path;

std::string build_content(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return std::string(reinterpret_cast<const char*>(data), size);
    const std::uint8_t flags = data[0];
    std::string pattern(reinterpret_cast<const char*>(data) + 3, size - 3);
    if (flags & 4) std::erase(pattern, '\0');
    std::size_t length = pattern.size();
    if ((flags & 0x13) == 0x13) {
        length = 999984 + data[1] % 32;
    } else if (flags & 1) {
        length = 7984 + data[1] % 32;
    }
    std::string content = pattern;
    if (!content.empty()) {
        while (content.size() < length) content += content;
        content.resize(length);
    }
    const std::size_t nul_at = 7990 + data[2] % 16;
    if ((flags & 8) && nul_at < content.size()) content[nul_at] = '\0';
    return content;
}

// The rule as stated: too large or NUL near the start means no count; otherwise LF bytes,
// plus one for an unterminated last line.
std::optional<std::uint32_t> naive_count(std::string_view content) {
    if (content.size() > 1000000) return std::nullopt;
    for (std::size_t i = 0; i < content.size() && i < 8000; ++i) {
        if (content[i] == '\0') return std::nullopt;
    }
    if (content.empty()) return 0;
    std::uint32_t lines = 0;
    for (char c : content) lines += c == '\n';
    if (content.back() != '\n') ++lines;
    return lines;
}

std::string show(std::optional<std::uint32_t> n) {
    return n ? std::to_string(*n) : "null";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed if possible: the file is rewritten on every run.
    const char* base = std::getenv("TMPDIR");
    if (::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string dir = std::string(base && *base ? base : "/tmp") + "/vesk-count-lines-fuzz.XXXXXX";
    FUZZ_CHECK(::mkdtemp(dir.data()) != nullptr, dir);
    // libFuzzer may end the process without running exit handlers, so each run removes what
    // it made and the next one makes the directory again under the same unique name.
    ::rmdir(dir.c_str());
    dir_path = dir;
    file_path = dir + "/file";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content = build_content(data, size);
    // A fresh file each time: truncating one in place makes some file systems flush on close.
    FUZZ_CHECK(::mkdir(dir_path.c_str(), 0700) == 0 || errno == EEXIST, dir_path);
    std::FILE* f = std::fopen(file_path.c_str(), "wbxe");
    FUZZ_CHECK(f != nullptr, file_path);
    FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), f) == content.size());
    FUZZ_CHECK(std::fclose(f) == 0);

    const std::optional<std::uint32_t> got = vesk::count_lines(file_path);
    const std::optional<std::uint32_t> want = naive_count(content);
    ::unlink(file_path.c_str());
    ::rmdir(dir_path.c_str());
    FUZZ_CHECK(got == want, "size " + std::to_string(content.size()) + ": got " + show(got) +
                                ", want " + show(want));
    return 0;
}
