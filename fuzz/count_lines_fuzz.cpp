// count_lines on a real file against the rule read plainly: no count past the size limit or
// with a NUL among the probed bytes, else the LF bytes plus one for an unterminated last line.
// The input describes the file, so sizes near both limits are reached without megabyte inputs:
//   byte 0: bit 0 repeats the pattern to ~8000 bytes, or to ~1000000 when bits 1 and 4 are also
//           set (kept rare: slow); bit 2 drops NULs from the pattern; bit 3 puts a NUL near 8000
//   byte 1: size offset; byte 2: offset of that NUL; the rest: the pattern.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/check.h"
#include "linecount/count_lines.h"

namespace {

std::string content_of(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return std::string(reinterpret_cast<const char*>(data), size);
    std::string pattern(reinterpret_cast<const char*>(data) + 3, size - 3);
    if (data[0] & 4) std::erase(pattern, '\0');
    std::size_t length = pattern.size();
    if ((data[0] & 0x13) == 0x13) {
        length = vesk::kMaxCountFileSize - 16 + data[1] % 32;
    } else if (data[0] & 1) {
        length = vesk::kNulProbeLen - 16 + data[1] % 32;
    }
    std::string content = pattern;
    while (!content.empty() && content.size() < length) content += content;
    content.resize(std::min(content.size(), length));
    const std::size_t nul_at = vesk::kNulProbeLen - 10 + data[2] % 16;
    if ((data[0] & 8) && nul_at < content.size()) content[nul_at] = '\0';
    return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content = content_of(data, size);
    // A fresh memory-backed file each run, named through /proc as count_lines takes a path.
    const int fd = ::memfd_create("count-lines-fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0 && ::write(fd, content.data(), content.size()) == ssize_t(content.size()));
    const std::optional<std::uint32_t> got =
        vesk::count_lines("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);

    const std::string_view probe = std::string_view(content).substr(0, vesk::kNulProbeLen);
    if (content.size() > vesk::kMaxCountFileSize || probe.find('\0') != probe.npos) {
        FUZZ_CHECK(!got);
    } else {
        const auto lf = std::count(content.begin(), content.end(), '\n');
        FUZZ_CHECK(got == std::uint32_t(lf + (!content.empty() && content.back() != '\n')));
    }
    return 0;
}
