// The frame reader over a real pipe, fed in pieces by a writer thread that waits until each
// piece is taken, so every read() can end anywhere: inside a length prefix, inside a payload,
// between frames. What each call must return follows from reading the stream the plain way.
//
// Input: byte 0 picks the reader's buffer size (small, so payloads often bypass the buffer),
// byte 1 seeds the piece sizes and says whether the first frame is read or skipped; the rest
// is the stream.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "agent/frame_reader.h"
#include "common/codec.h"
#include "fuzz/check.h"

namespace {

using vesk::ReadStatus;

void feed(int fd, std::string_view stream, std::uint32_t seed, const std::atomic<bool>& stop) {
    for (std::size_t off = 0; off < stream.size() && !stop;) {
        seed = seed * 1103515245 + 12345;
        const std::size_t piece = (seed >> 16) % 4 ? 1 + (seed >> 8) % 8 : stream.size();
        const ssize_t n = ::write(fd, stream.data() + off, std::min(piece, stream.size() - off));
        if (n <= 0) break;  // the reader stopped and closed its end
        off += static_cast<std::size_t>(n);
        for (int queued = 1; !stop && ::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;) {
            std::this_thread::yield();
        }
    }
    ::close(fd);
}

// Frames are read and skipped in turn, starting as mode says.
void read_all(vesk::InputReader& in, std::string_view s, unsigned mode) {
    std::size_t n = 0;
    for (std::size_t pos = 0, frame = mode;; pos += 4 + n, ++frame) {
        const vesk::FrameLen got = vesk::read_frame_len(in);
        if (s.size() - pos < 4) {
            FUZZ_CHECK(got.status == ReadStatus::end_of_input);
            return;
        }
        n = vesk::get_be32(s.data() + pos);
        if (n > vesk::kMaxFrameLen) {
            FUZZ_CHECK(got.status == ReadStatus::error);
            return;
        }
        FUZZ_CHECK(got.status == ReadStatus::ok && got.len == n);
        const std::string_view payload = s.substr(pos + 4, n);
        const ReadStatus want = payload.size() == n ? ReadStatus::ok : ReadStatus::end_of_input;
        std::string bytes;
        if (frame % 2) {
            FUZZ_CHECK(in.discard(n) == want);
        } else {
            // Grows as the bytes arrive, so a length that lies costs nothing.
            FUZZ_CHECK(in.read_payload(bytes, n) == want &&
                       (want != ReadStatus::ok || bytes == payload));
        }
        if (want != ReadStatus::ok) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return -1;
    ::signal(SIGPIPE, SIG_IGN);  // the writer may still write when the reader gives up
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    int fds[2];
    FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
    std::atomic<bool> stop{false};
    std::thread writer(feed, fds[1], stream, data[1], std::cref(stop));
    {
        vesk::InputReader in(fds[0], 1 + data[0] % 64);
        read_all(in, stream, data[1] % 2);
    }
    stop = true;
    ::close(fds[0]);
    writer.join();
    return 0;
}
