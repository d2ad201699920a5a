#include "agent/frame_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "agent/memory_reserve.h"

namespace vesk {
namespace {

// A payload's buffer starts this large and doubles as bytes arrive.
constexpr std::size_t kFirstPayloadRoom = 64 * 1024;

bool grow(std::string& s, std::size_t n) {
    try {
        s.resize(n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool grow(Bytes& b, std::size_t n) {
    if (!b.try_reserve(n)) return false;
    b.resize_uninitialized(n);
    return true;
}

}  // namespace

InputReader::InputReader(int fd, std::size_t buffer_size)
    : fd_(fd), buf_(static_cast<char*>(std::malloc(buffer_size))), cap_(buffer_size) {
    if (!buf_) throw std::bad_alloc();
}

InputReader::~InputReader() {
    std::free(buf_);
}

// For an input that is non-blocking: EAGAIN means "not yet", not an end.
bool InputReader::wait_readable() {
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

ReadStatus InputReader::fill() {
    for (;;) {
        ssize_t r = ::read(fd_, buf_, cap_);
        if (r > 0) {
            pos_ = 0;
            end_ = static_cast<std::size_t>(r);
            return ReadStatus::ok;
        }
        if (r == 0) return ReadStatus::end_of_input;
        if (errno == EINTR) continue;
        if (errno == EAGAIN && wait_readable()) continue;
        return ReadStatus::error;
    }
}

ReadStatus InputReader::read_exact(void* dst, std::size_t n) {
    char* out = static_cast<char*>(dst);
    std::size_t done = 0;
    while (done < n) {
        if (pos_ == end_) {
            // A large remainder goes straight into its destination, skipping the buffer.
            if (n - done >= cap_) {
                ssize_t r = ::read(fd_, out + done, n - done);
                if (r > 0) {
                    done += static_cast<std::size_t>(r);
                    continue;
                }
                if (r == 0) return ReadStatus::end_of_input;
                if (errno == EINTR) continue;
                if (errno == EAGAIN && wait_readable()) continue;
                return ReadStatus::error;
            }
            if (ReadStatus s = fill(); s != ReadStatus::ok) return s;
        }
        std::size_t take = std::min(n - done, end_ - pos_);
        std::memcpy(out + done, buf_ + pos_, take);
        pos_ += take;
        done += take;
    }
    return ReadStatus::ok;
}

ReadStatus InputReader::discard(std::size_t n) {
    char sink[64 * 1024];
    while (n > 0) {
        std::size_t chunk = std::min(n, sizeof sink);
        if (ReadStatus s = read_exact(sink, chunk); s != ReadStatus::ok) return s;
        n -= chunk;
    }
    return ReadStatus::ok;
}

template <class Buffer>
ReadStatus InputReader::read_growing(Buffer& out, std::size_t n,
                                     std::chrono::milliseconds patience) {
    std::size_t done = 0;
    int attempt = 0;
    std::chrono::milliseconds waited{0};
    while (done < n) {
        std::size_t want = std::min(n, std::max(kFirstPayloadRoom, done * 2));
        if (!grow(out, want)) {
            if (back_off(attempt, waited, patience)) continue;
            ReadStatus s = discard(n - done);
            return s == ReadStatus::ok ? ReadStatus::no_memory : s;
        }
        if (ReadStatus s = read_exact(out.data() + done, want - done); s != ReadStatus::ok) {
            return s;
        }
        done = want;
    }
    if (n == 0) grow(out, 0);
    return ReadStatus::ok;
}

ReadStatus InputReader::read_payload(std::string& out, std::size_t n,
                                     std::chrono::milliseconds patience) {
    return read_growing(out, n, patience);
}

ReadStatus InputReader::read_payload(Bytes& out, std::size_t n) {
    return read_growing(out, n, {});
}

bool InputReader::holds_request() const {
    const std::uint64_t avail = end_ - pos_;
    if (avail < 4) return false;
    const std::uint64_t header_len = get_be32(buf_ + pos_);
    if (avail < 8 + header_len) return false;
    const std::uint64_t body_len = get_be32(buf_ + pos_ + 4 + header_len);
    return avail >= 8 + header_len + body_len;
}

FrameLen read_frame_len(InputReader& in) {
    char b[4];
    FrameLen out;
    out.status = in.read_exact(b, 4);
    if (out.status != ReadStatus::ok) return out;
    out.len = get_be32(b);
    if (out.len > kMaxFrameLen) out.status = ReadStatus::error;
    return out;
}

}  // namespace vesk
