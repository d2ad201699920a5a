#include "agent/message_writer.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "common/sys.h"
#include "common/text.h"

namespace vesk {
namespace {

// Bytes per writev. Into a 1 MiB pipe read from another CPU, a gigabyte moved about a quarter
// faster in writes of 128-512 KiB than in writes of 1-4 MiB: while one part of the pipe is
// being filled, the reader drains another. Into a 64 KiB pipe the size made no difference.
constexpr std::size_t kMaxOutputWrite = 256 << 10;
// Messages per writev; a fixed array, so draining never allocates.
constexpr std::size_t kMaxBatch = 64;
// A header text this long goes out from a buffer of its own (see OutMessage::text).
constexpr std::size_t kTextApartFrom = large_blocks::kTakeFrom;

// `,"error":"text"}` as the encoder writes it.
std::string error_tail(int err) {
    Header h;
    h.error = os_error_text(err);
    std::string envelope = encode_envelope(h);  // {"id":0,"error":...}
    return envelope.substr(envelope.find(','));
}

void list_pieces(OutMessage& m, iovec* iov, std::size_t& n) {
    if (m.head.empty()) {
        iov[n++] = {m.fallback, m.fallback_len};
        return;
    }
    if (m.text.empty()) {
        iov[n++] = {m.head.data(), m.head.size()};
    } else {
        iov[n++] = {m.head.data(), m.text_at};
        iov[n++] = {m.text.data(), m.text.size()};
        iov[n++] = {m.head.data() + m.text_at, m.head.size() - m.text_at};
    }
    if (!m.body.empty()) iov[n++] = {m.body.data(), m.body.size()};
}

// Writes iov[0..n) whole, at most kMaxOutputWrite bytes per call, calling progress() after each
// call that moved bytes. False on a write error: the stream is broken or gone.
template <class Progress>
bool write_whole(int fd, iovec* iov, std::size_t n, Progress progress) {
    std::size_t first = 0;
    while (first < n) {
        std::size_t count = 0;
        std::size_t budget = kMaxOutputWrite;
        iovec saved = iov[first];
        bool trimmed = false;
        for (; first + count < n && count < IOV_MAX; ++count) {
            if (iov[first + count].iov_len > budget) {
                if (count == 0) {
                    iov[first].iov_len = budget;
                    trimmed = true;
                    count = 1;
                }
                break;
            }
            budget -= iov[first + count].iov_len;
        }
        ssize_t w = ::writev(fd, iov + first, static_cast<int>(count));
        if (trimmed) iov[first].iov_len = saved.iov_len;
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            // Inherited non-blocking output: wait until the reader makes room.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        progress();
        auto left = static_cast<std::size_t>(w);
        while (first < n && left >= iov[first].iov_len) {
            left -= iov[first].iov_len;
            ++first;
        }
        if (first < n) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return true;
}

}  // namespace

SharedOutput::SharedOutput(int fd)
    : fd_(fd), no_memory_tail_(error_tail(ENOMEM)), too_long_tail_(error_tail(EMSGSIZE)) {
    // The stand-in must fit its fixed buffer: [len]{"id":N<tail>[len 0].
    constexpr std::size_t kRoom = sizeof(OutMessage::fallback) - 4 - 6 - 20 - 4;
    if (no_memory_tail_.size() > kRoom) no_memory_tail_ = ",\"error\":\"out of memory\"}";
    if (too_long_tail_.size() > kRoom) too_long_tail_ = ",\"error\":\"message too long\"}";
}

void SharedOutput::stand_in(OutMessage& msg, std::uint64_t id, const std::string& tail) noexcept {
    // [len]{"id":N<tail>[0]: at most 4 + 6 + 20 + tail + 4 bytes.
    char* p = msg.fallback + 4;
    std::memcpy(p, "{\"id\":", 6);
    p += 6;
    char digits[20];
    int nd = 0;
    do {
        digits[nd++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    while (nd > 0) *p++ = digits[--nd];
    std::memcpy(p, tail.data(), tail.size());
    p += tail.size();
    put_be32(msg.fallback, static_cast<std::uint32_t>(p - msg.fallback - 4));
    put_be32(p, 0);
    msg.fallback_len = static_cast<std::size_t>(p + 4 - msg.fallback);
    msg.head.clear();
    msg.text.release();
    msg.body.release();
}

void SharedOutput::encode(OutMessage& msg, const Header& header, Bytes body,
                          DataText extra) noexcept {
    try {
        std::string repaired;
        DataText::Gap gap;
        if (extra.text.size() >= kTextApartFrom) {
            if (!is_valid_utf8(extra.text)) extra.text = repaired = utf8_lossy(extra.text);
            extra.gap = &gap;
        }
        if (encode_head(header, body.size(), msg.head, extra)) {
            if (extra.gap) {
                msg.text.resize_uninitialized(gap.size);
                put_json_string(msg.text.data(), extra.text);
                msg.text_at = gap.at;
            }
            msg.body = std::move(body);
        } else {
            stand_in(msg, header.id, too_long_tail_);
        }
    } catch (...) {
        stand_in(msg, header.id, no_memory_tail_);
    }
}

void SharedOutput::encode_no_memory(OutMessage& msg, std::uint64_t id) noexcept {
    stand_in(msg, id, no_memory_tail_);
}

void SharedOutput::write(std::unique_ptr<OutMessage> msg, const Header& header,
                         Bytes body) noexcept {
    encode(*msg, header, std::move(body));
    OutMessage* m = msg.release();
    submit(m, m);
}

bool SharedOutput::write(const Header& header, Bytes body) noexcept {
    OutMessage* msg = new (std::nothrow) OutMessage;
    if (!msg) return false;
    write(std::unique_ptr<OutMessage>(msg), header, std::move(body));
    return true;
}

void SharedOutput::submit(OutMessage* first, OutMessage* last) noexcept {
    std::unique_lock<std::mutex> lock(mu_);
    if (sealed_) {
        lock.unlock();
        while (first) delete std::exchange(first, first->next);
        return;
    }
    last->next = nullptr;
    (tail_ ? tail_->next : head_) = first;
    tail_ = last;
    if (writing_) return;  // the thread that is writing takes this message too
    drain(lock);
}

void SharedOutput::drain(std::unique_lock<std::mutex>& lock) noexcept {
    writing_ = true;
    bool broken = false;
    while (head_) {
        // Take up to kMaxBatch messages off the queue and write them in one go.
        OutMessage* batch = head_;
        OutMessage* last = head_;
        iovec iov[kMaxBatch * 4];
        std::size_t n = 0;
        std::size_t taken = 1;
        list_pieces(*last, iov, n);
        while (last->next && taken < kMaxBatch) {
            last = last->next;
            list_pieces(*last, iov, n);
            ++taken;
        }
        head_ = last->next;
        if (!head_) tail_ = nullptr;
        last->next = nullptr;
        lock.unlock();
        // After a failed write the rest is lost with the stream; the messages are still freed.
        if (!broken) {
            broken = !write_whole(fd_, iov, n, [this] {
                std::lock_guard<std::mutex> progress(mu_);
                ++progress_;
                progress_cv_.notify_all();
            });
        }
        while (batch) {
            OutMessage* next = batch->next;
            delete batch;  // frees the bodies outside the lock
            batch = next;
        }
        lock.lock();
    }
    writing_ = false;
    progress_cv_.notify_all();
}

bool SharedOutput::seal(std::chrono::milliseconds stall) {
    std::unique_lock<std::mutex> lock(mu_);
    sealed_ = true;
    for (;;) {
        if (!writing_ && !head_) return true;
        std::uint64_t seen = progress_;
        if (!progress_cv_.wait_for(lock, stall,
                                   [&] { return progress_ != seen || (!writing_ && !head_); })) {
            return false;
        }
    }
}

}  // namespace vesk
