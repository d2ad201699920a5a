// The frame reader over a real pipe, fed in small pieces by a writer thread so that every read()
// the reader makes can end anywhere: inside a length prefix, inside a payload, between frames.
// The reader reads frames exactly as the serve loop does; a plain model of the byte stream says
// what each read must return.
//
// Input layout: byte 0 picks the reader's buffer size (small, so payloads often bypass the
// buffer), byte 1 seeds the writer's piece sizes, byte 2 bit 0 makes body frames be skipped
// with discard(); the rest is the stream.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "agent/bytes.h"
#include "agent/wire.h"
#include "fuzz/check.h"

namespace {

using vesk::ReadStatus;

// Payloads above this are skipped with discard() instead of allocated, as the serve loop does
// when it cannot allocate; the stream fed here is never that long, so it always ends inside.
constexpr std::uint32_t kLargestAllocated = 1 << 20;

struct Rng {
    std::uint32_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// Writes the stream in pieces and, after each piece, waits until the reader has taken it all,
// so no read() can return more than one piece.
void feed(int fd, std::string_view stream, std::uint8_t seed, const std::atomic<bool>& stop) {
    Rng rng{0x9E3779B9u ^ (std::uint32_t{seed} * 0x01000193u)};
    std::size_t off = 0;
    while (off < stream.size() && !stop.load()) {
        std::uint32_t r = rng.next();
        std::size_t piece = (r & 3) ? 1 + (r >> 8) % 8 : 1 + (r >> 8) % stream.size();
        piece = std::min(piece, stream.size() - off);
        while (piece > 0) {
            ssize_t w = ::write(fd, stream.data() + off, piece);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ::close(fd);
                return;  // the reader stopped and closed its end
            }
            off += static_cast<std::size_t>(w);
            piece -= static_cast<std::size_t>(w);
        }
        for (;;) {
            int queued = 0;
            if (stop.load() || ::ioctl(fd, FIONREAD, &queued) != 0 || queued == 0) break;
            std::this_thread::yield();
        }
    }
    ::close(fd);
}

// What the stream holds, read the plain way.
class StreamModel {
  public:
    explicit StreamModel(std::string_view s) : s_(s) {}

    struct Len {
        ReadStatus status;
        std::uint32_t len = 0;
        std::string error_text;
    };
    Len next_len() {
        if (s_.size() - pos_ < 4) {
            pos_ = s_.size();
            return {ReadStatus::end_of_input, 0, {}};
        }
        const auto* p = reinterpret_cast<const unsigned char*>(s_.data() + pos_);
        const std::uint32_t n =
            std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
        pos_ += 4;
        if (n > 0x40000000u)
            return {ReadStatus::error, 0, "frame of " + std::to_string(n) + " bytes"};
        return {ReadStatus::ok, n, {}};
    }
    // The payload bytes that exist; status end_of_input when fewer than n remain.
    ReadStatus payload(std::size_t n, std::string_view* bytes) {
        const std::size_t have = std::min(n, s_.size() - pos_);
        *bytes = s_.substr(pos_, have);
        pos_ += have;
        return have == n ? ReadStatus::ok : ReadStatus::end_of_input;
    }

  private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

const char* name(ReadStatus s) {
    switch (s) {
        case ReadStatus::ok:
            return "ok";
        case ReadStatus::end_of_input:
            return "end_of_input";
        case ReadStatus::error:
            return "error";
    }
    return "?";
}

std::string mismatch(const char* what, ReadStatus got, ReadStatus want) {
    return std::string(what) + ": got " + name(got) + ", want " + name(want);
}

// Reads frame after frame the way the serve loop reads requests; stops where it stops.
void read_all(vesk::InputReader& in, StreamModel& model, bool discard_bodies) {
    for (bool header = true;; header = !header) {
        const vesk::FrameLen fl = vesk::read_frame_len(in);
        const StreamModel::Len want = model.next_len();
        FUZZ_CHECK(fl.status == want.status, mismatch("length prefix", fl.status, want.status));
        if (fl.status == ReadStatus::error) {
            FUZZ_CHECK(fl.error_text == want.error_text, fl.error_text);
            return;
        }
        if (fl.status != ReadStatus::ok) return;
        FUZZ_CHECK(fl.len <= vesk::kMaxFrameLen);
        FUZZ_CHECK(fl.len == want.len, std::to_string(fl.len) + " != " + std::to_string(want.len));

        std::string_view want_bytes;
        const ReadStatus want_status = model.payload(fl.len, &want_bytes);
        if (fl.len > kLargestAllocated || (!header && discard_bodies)) {
            const ReadStatus s = in.discard(fl.len);
            FUZZ_CHECK(s == want_status, mismatch("discard", s, want_status));
            if (s != ReadStatus::ok) return;
            continue;
        }
        std::size_t got = SIZE_MAX;
        ReadStatus s;
        std::string_view bytes;
        std::string head;
        vesk::Bytes body;
        if (header) {
            head.resize(fl.len);
            s = in.read_exact(head.data(), fl.len, &got);
            bytes = head;
        } else {
            FUZZ_CHECK(body.try_reserve(fl.len));
            body.resize_uninitialized(fl.len);
            s = in.read_exact(body.data(), fl.len, &got);
            bytes = body.view();
        }
        FUZZ_CHECK(s == want_status, mismatch("payload", s, want_status));
        FUZZ_CHECK(got == want_bytes.size(),
                   std::to_string(got) + " bytes, want " + std::to_string(want_bytes.size()));
        FUZZ_CHECK(bytes.substr(0, got) == want_bytes, "payload bytes differ from those fed");
        if (s != ReadStatus::ok) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The writer may still be writing when the reader gives up and closes its end.
    ::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return -1;
    const std::size_t buffer_size = 1 + data[0] % 64;
    const std::uint8_t seed = data[1];
    const bool discard_bodies = data[2] & 1;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 3, size - 3);

    int fds[2];
    FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
    std::atomic<bool> stop{false};
    std::thread writer(feed, fds[1], stream, seed, std::cref(stop));
    {
        vesk::InputReader in(fds[0], buffer_size);
        StreamModel model(stream);
        read_all(in, model, discard_bodies);
    }
    stop.store(true);
    ::close(fds[0]);
    writer.join();
    return 0;
}
