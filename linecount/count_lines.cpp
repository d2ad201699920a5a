#include "linecount/count_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vesk {

namespace {

// Occurrences of c in [p, p + n), sixteen bytes per step. Byte-wide counters in a vector
// register would wrap after 255 steps, so they are summed into total at least that often.
std::size_t count_byte(const char* p, std::size_t n, char c) {
    using V = signed char __attribute__((vector_size(16)));
    V needle = V{} + static_cast<signed char>(c);
    std::size_t total = 0;
    while (n >= sizeof(V)) {
        std::size_t steps = n / sizeof(V) < 255 ? n / sizeof(V) : 255;
        V acc{};
        for (std::size_t i = 0; i < steps; ++i) {
            V v;
            std::memcpy(&v, p, sizeof v);
            acc -= (v == needle);  // a match compares as -1
            p += sizeof v;
        }
        n -= steps * sizeof(V);
        for (std::size_t k = 0; k < sizeof(V); ++k) total += static_cast<unsigned char>(acc[k]);
    }
    for (; n > 0; --n) total += (*p++ == c);
    return total;
}

bool countable(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_size >= 0 &&
           static_cast<std::size_t>(st.st_size) <= kMaxCountFileSize;
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

}  // namespace

std::uint32_t count_lines_in(std::string_view content) {
    if (content.empty()) return 0;
    std::size_t lines = count_byte(content.data(), content.size(), '\n');
    if (content.back() != '\n') ++lines;
    return static_cast<std::uint32_t>(lines);
}

std::optional<std::uint32_t> count_lines(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    // The status test first, so large and special files cost one call and are never opened.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !countable(st)) return std::nullopt;

    // The path may have been replaced since: O_NONBLOCK keeps a FIFO or device from blocking
    // the open, and the same test on the opened file decides whether it is read at all.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<std::uint32_t> result;
    if (::fstat(fd, &st) == 0 && countable(st)) {
        // One byte past the limit tells a file that grew after its status was taken. The
        // buffer starts at the reported size (plus that byte) and grows only if the file did.
        constexpr std::size_t kCap = kMaxCountFileSize + 1;
        std::size_t cap = static_cast<std::size_t>(st.st_size) + 1;
        std::unique_ptr<char, FreeDeleter> buf(static_cast<char*>(std::malloc(cap)));
        std::size_t got = 0;
        bool ok = buf != nullptr;
        while (ok) {
            if (got == cap) {
                if (cap == kCap) break;
                char* grown = static_cast<char*>(std::realloc(buf.get(), kCap));
                if (!grown) {
                    ok = false;
                    break;
                }
                buf.release();
                buf.reset(grown);
                cap = kCap;
            }
            ssize_t r = ::read(fd, buf.get() + got, cap - got);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) ok = false;
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        std::string_view content(buf.get(), got);
        std::size_t probe = got < kNulProbeLen ? got : kNulProbeLen;
        if (ok && got <= kMaxCountFileSize && std::memchr(content.data(), 0, probe) == nullptr) {
            result = count_lines_in(content);
        }
    }
    ::close(fd);
    return result;
}

}  // namespace vesk
