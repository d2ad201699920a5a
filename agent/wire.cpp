#include "agent/wire.h"

#include <sys/uio.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "agent/sys.h"
#include "agent/text.h"

namespace vesk {

using json = nlohmann::json;

// ---------------------------------------------------------------------------------------------
// Input

InputReader::InputReader(int fd, std::size_t buffer_size)
    : fd_(fd), buf_(static_cast<char*>(std::malloc(buffer_size))), cap_(buffer_size) {
    if (!buf_) throw std::bad_alloc();
}

InputReader::~InputReader() {
    std::free(buf_);
}

ReadStatus InputReader::fill(int* err) {
    for (;;) {
        ssize_t r = ::read(fd_, buf_, cap_);
        if (r > 0) {
            pos_ = 0;
            end_ = static_cast<std::size_t>(r);
            return ReadStatus::ok;
        }
        if (r == 0) return ReadStatus::end_of_input;
        if (errno == EINTR) continue;
        if (err) *err = errno;
        return ReadStatus::error;
    }
}

ReadStatus InputReader::read_exact(void* dst, std::size_t n, std::size_t* got, int* err) {
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
                if (r < 0 && errno == EINTR) continue;
                if (got) *got = done;
                if (r == 0) return ReadStatus::end_of_input;
                if (err) *err = errno;
                return ReadStatus::error;
            }
            ReadStatus s = fill(err);
            if (s != ReadStatus::ok) {
                if (got) *got = done;
                return s;
            }
        }
        std::size_t take = std::min(n - done, end_ - pos_);
        std::memcpy(out + done, buf_ + pos_, take);
        pos_ += take;
        done += take;
    }
    if (got) *got = done;
    return ReadStatus::ok;
}

ReadStatus InputReader::discard(std::size_t n) {
    char sink[64 * 1024];
    while (n > 0) {
        std::size_t chunk = std::min(n, sizeof sink);
        ReadStatus s = read_exact(sink, chunk);
        if (s != ReadStatus::ok) return s;
        n -= chunk;
    }
    return ReadStatus::ok;
}

FrameLen read_frame_len(InputReader& in) {
    unsigned char b[4];
    int err = 0;
    FrameLen out;
    out.status = in.read_exact(b, 4, nullptr, &err);
    if (out.status == ReadStatus::error) {
        out.error_text = os_error_text(err);
        return out;
    }
    if (out.status != ReadStatus::ok) return out;
    std::uint32_t n = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                      (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
    if (n > kMaxFrameLen) {
        out.status = ReadStatus::error;
        out.error_text = "frame of " + std::to_string(n) + " bytes";
        return out;
    }
    out.len = n;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Envelope decoding
//
// A SAX pass so the envelope's own rules (duplicate members, strict member types, the nesting
// limit) are enforced while parsing, and "data" is built into a value in the same pass.

namespace {

constexpr int kMaxDepth = 127;  // the envelope itself is level 1

enum class Field { id, method, data, error, ignored };

class EnvelopeSax {
  public:
    explicit EnvelopeSax(Header& h) : h_(h) {}
    std::string why;

    bool null() { return scalar(json(nullptr)); }
    bool boolean(bool v) { return scalar(json(v)); }
    bool number_integer(json::number_integer_t v) { return scalar(json(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return scalar(json(v)); }
    bool number_float(json::number_float_t v, const json::string_t&) { return scalar(json(v)); }
    bool string(json::string_t& v) { return scalar(json(std::move(v))); }
    bool binary(json::binary_t&) { return fail("binary value"); }

    bool start_object(std::size_t) { return open(json::value_t::object); }
    bool start_array(std::size_t) { return open(json::value_t::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& k) {
        if (depth_ == 1) {
            Field f = Field::ignored;
            if (k == "id")
                f = Field::id;
            else if (k == "method")
                f = Field::method;
            else if (k == "data")
                f = Field::data;
            else if (k == "error")
                f = Field::error;
            if (f != Field::ignored) {
                unsigned bit = 1u << static_cast<unsigned>(f);
                if (seen_ & bit) return fail("duplicate field " + k);
                seen_ |= bit;
            }
            field_ = f;
            return true;
        }
        if (building()) key_ = std::move(k);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        if (why.empty()) why = e.what();
        return false;
    }

    bool finish() {
        if (!(seen_ & (1u << static_cast<unsigned>(Field::id)))) return fail("missing id");
        return true;
    }

  private:
    bool fail(std::string reason) {
        if (why.empty()) why = std::move(reason);
        return false;
    }

    bool building() const { return !stack_.empty(); }

    // Which envelope field the next value at depth 1 belongs to.
    Field current_field() {
        if (!array_form_) return field_;
        switch (index_++) {
            case 0:
                return Field::id;
            case 1:
                return Field::method;
            case 2:
                return Field::data;
            case 3:
                return Field::error;
            default:
                return Field::ignored;
        }
    }

    bool open(json::value_t type) {
        if (++depth_ > kMaxDepth) return fail("nesting too deep");
        if (depth_ == 1) {
            array_form_ = type == json::value_t::array;
            return true;
        }
        if (building()) return push_container(type);
        if (depth_ == 2) {
            Field f = current_field();
            if (array_form_ && index_ > 4) return fail("too many elements");
            if (f == Field::data) {
                h_.data = json(type);
                stack_.push_back(&h_.data);
                return true;
            }
            if (f != Field::ignored) return fail("wrong type for envelope field");
            if (array_form_) seen_ |= bit_for_index();
        }
        return true;  // inside an ignored member: parsed for well-formedness only
    }

    bool close() {
        if (building()) stack_.pop_back();
        --depth_;
        return true;
    }

    bool push_container(json::value_t type) {
        json* slot = add_value(json(type));
        stack_.push_back(slot);
        return true;
    }

    json* add_value(json v) {
        json& top = *stack_.back();
        if (top.is_array()) {
            top.push_back(std::move(v));
            return &top.back();
        }
        // A repeated key keeps the last value.
        json& slot = top[key_];
        slot = std::move(v);
        return &slot;
    }

    unsigned bit_for_index() const { return 1u << static_cast<unsigned>(index_ - 1); }

    bool scalar(json v) {
        if (depth_ == 0) return fail("envelope is not an object or array");
        if (building()) {
            add_value(std::move(v));
            return true;
        }
        if (depth_ > 1) return true;  // inside an ignored member
        Field f = current_field();
        if (array_form_) {
            if (index_ > 4) return fail("too many elements");
            seen_ |= bit_for_index();
        }
        switch (f) {
            case Field::id:
                if (v.is_number_unsigned()) {
                    h_.id = v.get<std::uint64_t>();
                } else if (v.is_number_integer() && v.get<std::int64_t>() == 0) {
                    h_.id = 0;  // "-0"
                } else {
                    return fail("id is not an unsigned 64-bit integer");
                }
                return true;
            case Field::method:
            case Field::error: {
                std::optional<std::string>& slot = f == Field::method ? h_.method : h_.error;
                if (v.is_null()) return true;
                if (!v.is_string()) return fail("wrong type for envelope field");
                slot = v.get<std::string>();
                return true;
            }
            case Field::data:
                h_.data = std::move(v);
                return true;
            case Field::ignored:
                return true;
        }
        return true;
    }

    Header& h_;
    int depth_ = 0;
    bool array_form_ = false;
    int index_ = 0;
    unsigned seen_ = 0;
    Field field_ = Field::ignored;
    std::vector<json*> stack_;
    std::string key_;
};

}  // namespace

std::optional<Header> decode_envelope(std::string_view payload, std::string* why) {
    // The parser would skip a byte-order mark; the envelope allows only white space first.
    if (payload.size() >= 3 && payload.substr(0, 3) == "\xEF\xBB\xBF") {
        if (why) *why = "byte-order mark";
        return std::nullopt;
    }
    // The parser takes a NUL byte for the end of its input; valid JSON never holds one raw.
    if (payload.find('\0') != std::string_view::npos) {
        if (why) *why = "NUL byte";
        return std::nullopt;
    }
    Header h;
    EnvelopeSax sax(h);
    bool ok = false;
    try {
        ok = json::sax_parse(payload.begin(), payload.end(), &sax, json::input_format_t::json,
                             /*strict=*/true);
        if (ok) ok = sax.finish();
    } catch (const std::exception& e) {
        if (sax.why.empty()) sax.why = e.what();
        ok = false;
    }
    if (!ok) {
        if (why) *why = sax.why.empty() ? "invalid envelope" : sax.why;
        return std::nullopt;
    }
    return h;
}

// ---------------------------------------------------------------------------------------------
// Envelope encoding and output

namespace {

// Offset of the first byte at or after i that a JSON string must escape (a control byte, a
// quotation mark or a backslash), or n. Eight bytes at a time: stderr can be tens of megabytes.
std::size_t next_escape(const char* p, std::size_t i, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101u;
        constexpr std::uint64_t kHigh = 0x8080808080808080u;
        for (; n - i >= 8; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t quote = w ^ (kOnes * '"');
            const std::uint64_t slash = w ^ (kOnes * '\\');
            // Each term flags its byte test exactly at the lowest matching byte (borrows only
            // create false flags above a true one), so the lowest flag overall is a true one.
            const std::uint64_t hit = (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
                                       ((slash - kOnes) & ~slash)) &
                                      kHigh;
            if (hit) return i + static_cast<std::size_t>(std::countr_zero(hit)) / 8;
        }
    }
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c == '"' || c == '\\') return i;
    }
    return n;
}

// JSON string escaping: quotation mark and backslash, the five short control escapes, every
// other control byte as \u00xx; all else (DEL, '/', non-ASCII) as it is. Runs of bytes that
// need nothing are copied in one piece: a multi-megabyte stderr text is mostly such runs.
void append_json_string(std::string& out, std::string_view s) {
    if (!is_valid_utf8(s)) {
        // Handlers hand over UTF-8 only; this keeps a stray byte from reaching the stream.
        append_json_string(out, utf8_lossy(s));
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    // Room for the common case of a few escapes, so a large text is not copied while growing.
    out.reserve(out.size() + s.size() + s.size() / 16 + 2);
    out += '"';
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t run = 0;
    for (std::size_t i = next_escape(p, 0, n); i < n; i = next_escape(p, i + 1, n)) {
        const auto c = static_cast<unsigned char>(p[i]);
        out.append(p + run, i - run);
        run = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default: {
                char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(esc, sizeof esc);
            }
        }
    }
    out.append(p + run, n - run);
    out += '"';
}

void append_json(std::string& out, const json& v) {
    switch (v.type()) {
        case json::value_t::string:
            append_json_string(out, v.get_ref<const std::string&>());
            return;
        case json::value_t::array: {
            out += '[';
            bool first = true;
            for (const json& element : v) {
                if (!first) out += ',';
                first = false;
                append_json(out, element);
            }
            out += ']';
            return;
        }
        case json::value_t::object: {
            // Members come out in byte order of their names: the value is an ordered map.
            out += '{';
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, it.key());
                out += ':';
                append_json(out, it.value());
            }
            out += '}';
            return;
        }
        case json::value_t::number_integer:
            out += std::to_string(v.get<json::number_integer_t>());
            return;
        case json::value_t::number_unsigned:
            out += std::to_string(v.get<json::number_unsigned_t>());
            return;
        default:
            // null, booleans and floats (shortest form that reads back; non-finite as null).
            out += v.dump();
            return;
    }
}

void put_be32(char* p, std::uint32_t n) {
    p[0] = static_cast<char>(n >> 24);
    p[1] = static_cast<char>(n >> 16);
    p[2] = static_cast<char>(n >> 8);
    p[3] = static_cast<char>(n);
}

constexpr std::size_t kMaxOutLen = std::numeric_limits<std::uint32_t>::max();

// Fills frames with the header frame and the body frame's length prefix:
// [len(J)][J][len(B)]. Returns false when the header cannot be encoded.
bool build_head(const Header& h, std::size_t body_len, std::string& frames) {
    frames.assign(4, '\0');
    frames.reserve(128);
    frames += "{\"id\":";
    frames += std::to_string(h.id);
    if (h.method) {
        frames += ",\"method\":";
        append_json_string(frames, *h.method);
    }
    if (!h.data.is_null()) {
        frames += ",\"data\":";
        append_json(frames, h.data);
    }
    if (h.error) {
        frames += ",\"error\":";
        append_json_string(frames, *h.error);
    }
    frames += '}';
    std::size_t header_len = frames.size() - 4;
    if (header_len > kMaxOutLen || body_len > kMaxOutLen) return false;
    put_be32(frames.data(), static_cast<std::uint32_t>(header_len));
    frames.resize(frames.size() + 4);
    put_be32(frames.data() + frames.size() - 4, static_cast<std::uint32_t>(body_len));
    return true;
}

Header too_long_reply(std::uint64_t id) {
    Header h;
    h.id = id;
    h.error = os_error_text(EMSGSIZE);
    return h;
}

}  // namespace

std::string encode_envelope(const Header& h) {
    std::string frames;
    build_head(h, 0, frames);
    return frames.substr(4, frames.size() - 8);
}

std::string encode_message(const Header& header, std::string_view body) {
    std::string frames;
    if (!build_head(header, body.size(), frames)) {
        build_head(too_long_reply(header.id), 0, frames);
        return frames;
    }
    frames.append(body);
    return frames;
}

namespace {

// Bytes per writev. Into a 1 MiB pipe read from another CPU, a gigabyte moved about a quarter
// faster in writes of 128-512 KiB than in writes of 1-4 MiB: while one part of the pipe is
// being filled, the reader drains another. Into a 64 KiB pipe the size made no difference.
constexpr std::size_t kMaxWriteChunk = 256 << 10;

// One writev call over the front of iov (at most IOV_MAX entries, at most kMaxWriteChunk
// bytes). Advances iov past what was written. Returns false on a write error.
bool write_some(int fd, std::vector<iovec>& iov, std::size_t& first) {
    std::size_t count = std::min<std::size_t>(iov.size() - first, IOV_MAX);
    std::size_t budget = kMaxWriteChunk;
    std::size_t n = 0;
    iovec saved{};
    bool trimmed = false;
    for (; n < count; ++n) {
        if (iov[first + n].iov_len > budget) {
            if (n == 0) {
                saved = iov[first];
                iov[first].iov_len = budget;
                trimmed = true;
                n = 1;
            }
            break;
        }
        budget -= iov[first + n].iov_len;
    }
    ssize_t w;
    do {
        w = ::writev(fd, iov.data() + first, static_cast<int>(n));
    } while (w < 0 && errno == EINTR);
    if (trimmed) iov[first].iov_len = saved.iov_len;
    if (w < 0) return false;
    std::size_t left = static_cast<std::size_t>(w);
    while (first < iov.size() && left >= iov[first].iov_len) {
        left -= iov[first].iov_len;
        ++first;
    }
    if (first < iov.size()) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
    }
    return true;
}

}  // namespace

void SharedOutput::submit(std::string head, Bytes body) {
    std::unique_lock<std::mutex> lock(mu_);
    if (sealed_) return;
    queue_.push_back(Pending{std::move(head), std::move(body)});
    if (writing_) return;  // the thread that is writing takes this message too
    drain(lock);
}

void SharedOutput::drain(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    std::vector<Pending> batch;
    std::vector<iovec> iov;
    while (!queue_.empty()) {
        batch.swap(queue_);
        lock.unlock();
        iov.clear();
        try {
            for (Pending& p : batch) {
                iov.push_back({p.head.data(), p.head.size()});
                if (!p.body.empty()) iov.push_back({p.body.data(), p.body.size()});
            }
        } catch (...) {
            iov.clear();  // out of memory: this batch is lost whole rather than cut
        }
        std::size_t first = 0;
        while (first < iov.size()) {
            // After a failed write the rest is lost; the stream is broken or gone.
            if (!write_some(fd_, iov, first)) break;
            std::lock_guard<std::mutex> progress(mu_);
            ++progress_;
            progress_cv_.notify_all();
        }
        batch.clear();  // frees the bodies outside the lock
        lock.lock();
    }
    writing_ = false;
    progress_cv_.notify_all();
}

bool SharedOutput::seal(std::chrono::milliseconds stall) {
    std::unique_lock<std::mutex> lock(mu_);
    sealed_ = true;
    for (;;) {
        if (!writing_ && queue_.empty()) return true;
        std::uint64_t seen = progress_;
        if (!progress_cv_.wait_for(
                lock, stall, [&] { return progress_ != seen || (!writing_ && queue_.empty()); })) {
            return false;
        }
    }
}

void write_message(SharedOutput& out, const Header& header, Bytes body) {
    std::string head;
    try {
        if (!build_head(header, body.size(), head)) {
            if (!build_head(too_long_reply(header.id), 0, head)) return;
            body.release();
        }
        out.submit(std::move(head), std::move(body));
    } catch (...) {
        // Could not even encode or queue it (out of memory): the message is lost, never
        // half-sent.
    }
}

void write_message(SharedOutput& out, const Header& header, std::string_view body) {
    Bytes copy;
    try {
        copy.assign(body);
    } catch (...) {
        return;
    }
    write_message(out, header, std::move(copy));
}

}  // namespace vesk
