#include "agent/wire.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/harness.h"

namespace vesk {
namespace {

using namespace std::string_literals;
using json = nlohmann::json;

// A pipe whose ends close themselves.
struct Pipe {
    int r = -1;
    int w = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (r >= 0) ::close(r);
        r = -1;
    }
    void close_write() {
        if (w >= 0) ::close(w);
        w = -1;
    }
};

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << std::strerror(errno);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

using test::frame;

// Input small enough for the pipe buffer, written up front, then end of input.
struct FedPipe {
    Pipe p;
    explicit FedPipe(std::string_view bytes) {
        write_all(p.w, bytes);
        p.close_write();
    }
};

// ---------------------------------------------------------------------------------------------
// Frame length prefixes

struct LenCase {
    std::string input;
    ReadStatus status;
    std::uint32_t len;
    std::string error_text;
};

TEST(ReadFrameLen, PrefixTable) {
    const std::vector<LenCase> cases = {
        {"\0\0\0\0"s, ReadStatus::ok, 0, ""},
        {"\0\0\0\x19"s, ReadStatus::ok, 25, ""},
        {"\x40\0\0\0"s, ReadStatus::ok, 0x40000000, ""},
        {"\x3f\xff\xff\xff"s, ReadStatus::ok, 0x3fffffff, ""},
        {"\x40\0\0\x01"s, ReadStatus::error, 0, "frame of 1073741825 bytes"},
        {"\x80\0\0\0"s, ReadStatus::error, 0, "frame of 2147483648 bytes"},
        {"\xff\xff\xff\xff"s, ReadStatus::error, 0, "frame of 4294967295 bytes"},
        {""s, ReadStatus::end_of_input, 0, ""},
        {"\0"s, ReadStatus::end_of_input, 0, ""},
        {"\0\0"s, ReadStatus::end_of_input, 0, ""},
        {"\x40\0\0"s, ReadStatus::end_of_input, 0, ""},
    };
    for (const LenCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        FedPipe in(c.input);
        InputReader reader(in.p.r);
        FrameLen got = read_frame_len(reader);
        EXPECT_EQ(got.status, c.status);
        if (c.status == ReadStatus::ok) {
            EXPECT_EQ(got.len, c.len);
        }
        if (c.status == ReadStatus::error) {
            EXPECT_EQ(got.error_text, c.error_text);
        }
    }
}

TEST(ReadFrameLen, ReadFailureIsAnErrorNotEndOfInput) {
    // read() on a directory fails with EISDIR: a real read error, distinct from end of input.
    int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    InputReader reader(dir);
    FrameLen got = read_frame_len(reader);
    ::close(dir);
    EXPECT_EQ(got.status, ReadStatus::error);
    EXPECT_EQ(got.error_text, test::os_error(EISDIR));
}

TEST(InputReader, PayloadCutShortIsEndOfInputWithCount) {
    FedPipe in("abcde");
    InputReader reader(in.p.r);
    char buf[10];
    std::size_t got = 99;
    EXPECT_EQ(reader.read_exact(buf, sizeof buf, &got), ReadStatus::end_of_input);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string_view(buf, 5), "abcde");
}

// Frames of many sizes around the buffer size, fed one byte per write() from another thread,
// so the reader sees every kind of short read, in both the buffered and the direct path.
void check_frames_fed_byte_by_byte(std::size_t buffer_size) {
    const std::vector<std::size_t> sizes = {0,     1,     3,     4, 5,      17, 65535,
                                            65536, 65537, 70001, 2, 130000, 0};
    std::string stream;
    std::vector<std::string> payloads;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::string p(sizes[i], '\0');
        for (std::size_t k = 0; k < p.size(); ++k) p[k] = static_cast<char>((k * 7 + i) % 251);
        stream += frame(p);
        payloads.push_back(std::move(p));
    }
    stream += "\0\0"s;  // end of input inside a prefix

    Pipe pipe;
    std::thread writer([&] {
        for (char c : stream) {
            while (::write(pipe.w, &c, 1) != 1) {
            }
        }
        pipe.close_write();
    });
    InputReader reader(pipe.r, buffer_size);
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i) + " of " + std::to_string(sizes[i]) + " bytes");
        FrameLen len = read_frame_len(reader);
        ASSERT_EQ(len.status, ReadStatus::ok);
        ASSERT_EQ(len.len, sizes[i]);
        std::string got(len.len, 'x');
        ASSERT_EQ(reader.read_exact(got.data(), got.size()), ReadStatus::ok);
        EXPECT_TRUE(got == payloads[i]);
    }
    EXPECT_EQ(read_frame_len(reader).status, ReadStatus::end_of_input);
    writer.join();
}

TEST(InputReader, ShortReadsWithDefaultAndTinyBuffers) {
    for (std::size_t buffer : {std::size_t{64 * 1024}, std::size_t{3}}) {
        SCOPED_TRACE("buffer of " + std::to_string(buffer) + " bytes");
        check_frames_fed_byte_by_byte(buffer);
    }
}

TEST(InputReader, DiscardKeepsTheStreamInStep) {
    std::string big(200000, 'z');
    Pipe pipe;
    std::thread writer([&] {
        write_all(pipe.w, frame(big) + frame("next"));
        pipe.close_write();
    });
    InputReader reader(pipe.r);
    FrameLen len = read_frame_len(reader);
    ASSERT_EQ(len.status, ReadStatus::ok);
    ASSERT_EQ(reader.discard(len.len), ReadStatus::ok);
    len = read_frame_len(reader);
    ASSERT_EQ(len.status, ReadStatus::ok);
    std::string next(len.len, '\0');
    ASSERT_EQ(reader.read_exact(next.data(), next.size()), ReadStatus::ok);
    EXPECT_EQ(next, "next");
    writer.join();
}

// ---------------------------------------------------------------------------------------------
// Envelope decoding

struct Accept {
    std::string payload;
    std::uint64_t id;
    std::optional<std::string> method;
    json data;
    std::optional<std::string> error;
};

TEST(DecodeEnvelope, AcceptTable) {
    const std::vector<Accept> cases = {
        {R"({"id":7,"method":"hello"})", 7, "hello", nullptr, {}},
        {R"({"method":"hello","id":7,"extra":[1,2]})", 7, "hello", nullptr, {}},
        {R"([7,"hello"])", 7, "hello", nullptr, {}},
        {R"([7])", 7, {}, nullptr, {}},
        {R"([7,"m",{"a":1},"e"])", 7, "m", {{"a", 1}}, "e"},
        {R"([7,null,null,null])", 7, {}, nullptr, {}},
        {R"({"id":0})", 0, {}, nullptr, {}},
        {R"({"id":18446744073709551615})", 18446744073709551615ull, {}, nullptr, {}},
        {R"({"id":7,"method":null})", 7, {}, nullptr, {}},
        {R"({"id":7,"error":null})", 7, {}, nullptr, {}},
        {R"({"id":7,"error":"boom"})", 7, {}, nullptr, "boom"},
        {R"({"id":7,"data":null})", 7, {}, nullptr, {}},
        {R"({"id":7,"data":5})", 7, {}, 5, {}},
        {R"({"id":7,"data":"s"})", 7, {}, "s", {}},
        {R"({"id":7,"data":[1,[2,{}],true,null]})", 7, {}, json::parse("[1,[2,{}],true,null]"), {}},
        // Last duplicate wins inside data: only the envelope's own members are checked.
        {R"({"id":7,"data":{"b":1,"a":{"x":[{"y":1,"y":2}]},"b":3}})",
         7,
         {},
         json::parse(R"({"a":{"x":[{"y":2}]},"b":3})"),
         {}},
        {R"({"id":7,"x":1,"x":{"nested":[1]}})", 7, {}, nullptr, {}},
        {R"({"ID":1,"Id":2,"id":3})", 3, {}, nullptr, {}},
        {R"({"\u0069d":4})", 4, {}, nullptr, {}},
        {" \t\r\n{\"id\":7}", 7, {}, nullptr, {}},
        {"{\"id\":7} \t\r\n", 7, {}, nullptr, {}},
        {"{ \"id\" : 7 , \"method\" : \"a\\nb\" }", 7, "a\nb", nullptr, {}},
        {"{\"id\":7,\"method\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}",
         7,
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         nullptr,
         {}},
        {R"({"id":7,"method":"\u00e9\ud83d\ude00"})", 7, "\xc3\xa9\xf0\x9f\x98\x80", nullptr, {}},
    };
    for (const Accept& c : cases) {
        SCOPED_TRACE(c.payload);
        std::string why;
        std::optional<Header> h = decode_envelope(c.payload, &why);
        ASSERT_TRUE(h.has_value()) << why;
        EXPECT_EQ(h->id, c.id);
        EXPECT_EQ(h->method, c.method);
        EXPECT_EQ(h->data, c.data);
        EXPECT_EQ(h->error, c.error);
    }
}

TEST(DecodeEnvelope, RejectTable) {
    const std::vector<std::string> cases = {
        // not an object or array
        "", " ", "null", "7", R"("x")", "true",
        // id
        "{}", "[]", R"({"method":"hello"})", R"({"id":-1})", R"({"id":1.5})", R"({"id":1e2})",
        R"({"id":1E2})", R"({"id":7.0})", R"({"id":"7"})", R"({"id":null})", R"({"id":true})",
        R"({"id":{}})", R"({"id":[7]})", R"({"id":18446744073709551616})", R"({"id":07})",
        R"(["7"])", R"([null])", R"([-1])",
        // member types
        R"({"id":7,"method":5})", R"({"id":7,"method":{}})", R"({"id":7,"method":[]})",
        R"({"id":7,"method":true})", R"({"id":7,"error":5})", R"({"id":7,"error":[]})", R"([7,5])",
        R"([7,"m",null,5])", R"([7,"m",null,{}])", R"([7,[]])",
        // duplicates among the four
        R"({"id":1,"id":1})", R"({"id":1,"method":"a","method":"a"})",
        R"({"id":1,"method":null,"method":"a"})", R"({"id":1,"data":1,"data":1})",
        R"({"id":1,"data":{},"data":null})", R"({"id":1,"error":"a","error":"b"})",
        // array form with a fifth element
        R"([7,"hello",null,null,null])", R"([7,"hello",null,null,[]])",
        // trailing bytes
        R"({"id":7} x)", R"({"id":7}{})", R"({"id":7},)", R"([7]])",
        // leading bytes
        "\xEF\xBB\xBF{\"id\":7}", "\f{\"id\":7}", "\v{\"id\":7}",
        // ignored members must still be well-formed
        R"({"id":7,"x":[1,]})", R"({"id":7,"x":})", R"({"id":7,"x":nul})",
        // invalid UTF-8 in strings, wherever they are
        "{\"id\":7,\"method\":\"\xff\"}", "{\"id\":7,\"method\":\"\xc3\"}",
        "{\"id\":7,\"method\":\"\xc0\xaf\"}", "{\"id\":7,\"method\":\"\xed\xa0\x80\"}",
        "{\"id\":7,\"x\":\"\xe2\x82\"}", "{\"id\":7,\"data\":{\"\xf8\x88\x80\x80\x80\":1}}",
        "{\"id\":7,\"data\":[\"\xf4\x90\x80\x80\"]}",
        // control characters and lone surrogates inside strings
        "{\"id\":7,\"method\":\"a\nb\"}", "{\"id\":7,\"method\":\"\\ud800\"}",
        R"({"id":7,"method":"\udc00x"})",
        // unterminated
        R"({"id":7)", R"({"id":7,"data":[1,2)", R"([7,"hello")"};
    for (const std::string& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c));
        EXPECT_FALSE(decode_envelope(c).has_value());
    }
}

// The JSON parser takes a NUL byte for the end of its input; only white space may follow, and
// a NUL byte anywhere else is no JSON either.
TEST(DecodeEnvelope, NulBytesAreRejected) {
    for (const std::string& c :
         {"{\"id\":7}\0"s, "{\"id\":7}\0garbage"s, "[7]\0]"s, "{\"id\":7} \0{\"id\":8}"s,
          "\0{\"id\":7}"s, "{\"id\":7,\0\"method\":\"a\"}"s, "{\"id\":7,\"method\":\"a\0b\"}"s}) {
        SCOPED_TRACE(testing::PrintToString(c));
        EXPECT_FALSE(decode_envelope(c).has_value());
    }
}

std::string nested_arrays(int levels) {
    return std::string(static_cast<std::size_t>(levels), '[') +
           std::string(static_cast<std::size_t>(levels), ']');
}

std::string nested_objects(int levels) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += "{\"k\":";
    s += "0";
    for (int i = 0; i < levels; ++i) s += "}";
    return s;
}

int depth_of(const json& v) {
    if (!v.is_structured()) return 0;
    int inner = 0;
    for (const json& e : v) inner = std::max(inner, depth_of(e));
    return 1 + inner;
}

TEST(DecodeEnvelope, NestingLimitCountsTheEnvelope) {
    // The envelope is level 1, so the value inside it may have 126 levels of its own.
    struct Case {
        std::string payload;
        bool ok;
    };
    std::vector<Case> cases;
    for (int inner : {125, 126, 127, 200}) {
        bool ok = inner <= 126;
        cases.push_back({"{\"id\":1,\"data\":" + nested_arrays(inner) + "}", ok});
        cases.push_back({"{\"id\":1,\"data\":" + nested_objects(inner) + "}", ok});
        cases.push_back({"{\"id\":1,\"ignored\":" + nested_arrays(inner) + "}", ok});
        cases.push_back({"{\"ignored\":" + nested_objects(inner) + ",\"id\":1}", ok});
        cases.push_back({"[1,null," + nested_arrays(inner) + "]", ok});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 40) + "... (" + std::to_string(c.payload.size()) +
                     " bytes)");
        std::optional<Header> h = decode_envelope(c.payload);
        EXPECT_EQ(h.has_value(), c.ok);
    }
    std::optional<Header> h = decode_envelope("{\"id\":1,\"data\":" + nested_arrays(126) + "}");
    ASSERT_TRUE(h);
    EXPECT_EQ(depth_of(h->data), 126);
    EXPECT_EQ(h->data.dump(), nested_arrays(126));
}

// ---------------------------------------------------------------------------------------------
// Encoding

Header make_header(std::uint64_t id, std::optional<std::string> method = {}, json data = nullptr,
                   std::optional<std::string> error = {}) {
    Header h;
    h.id = id;
    h.method = std::move(method);
    h.data = std::move(data);
    h.error = std::move(error);
    return h;
}

TEST(EncodeMessage, ByteExamples) {
    // A 13-byte header and an empty body: 21 bytes.
    EXPECT_EQ(encode_message(make_header(123456), ""), "\0\0\0\x0d{\"id\":123456}\0\0\0\0"s);
    EXPECT_EQ(encode_message(make_header(1, "hello"), ""),
              "\0\0\0\x19{\"id\":1,\"method\":\"hello\"}\0\0\0\0"s);
    EXPECT_EQ(encode_message(make_header(2), "a\0b"s), "\0\0\0\x08{\"id\":2}\0\0\0\x03"s + "a\0b"s);
}

TEST(EncodeEnvelope, MembersAndOrder) {
    struct Case {
        Header h;
        std::string want;
    };
    json ba = json::object();
    ba["b"] = 1;
    ba["a"] = json::object({{"z", 1}, {"y", 2}});
    const std::vector<Case> cases = {
        {make_header(7), R"({"id":7})"},
        {make_header(0), R"({"id":0})"},
        {make_header(18446744073709551615ull), R"({"id":18446744073709551615})"},
        {make_header(7, "m", {{"x", 1}}, "e"),
         R"({"id":7,"method":"m","data":{"x":1},"error":"e"})"},
        {make_header(0, "changed", {{"path", "/r"}}),
         R"({"id":0,"method":"changed","data":{"path":"/r"}})"},
        {make_header(7, {}, nullptr, "e"), R"({"id":7,"error":"e"})"},
        {make_header(7, "", nullptr, ""), R"({"id":7,"method":"","error":""})"},
        {make_header(7, {}, ba), R"({"id":7,"data":{"a":{"y":2,"z":1},"b":1}})"},
        {make_header(7, {}, false), R"({"id":7,"data":false})"},
        {make_header(7, {}, 0), R"({"id":7,"data":0})"},
        {make_header(7, {}, json::array()), R"({"id":7,"data":[]})"},
        {make_header(7, {}, json::object()), R"({"id":7,"data":{}})"},
        {make_header(7, {}, json::array({-5, 18446744073709551615ull, 1.5, 0.1})),
         R"({"id":7,"data":[-5,18446744073709551615,1.5,0.1]})"},
        {make_header(7, {},
                     json::array({std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::infinity()})),
         R"({"id":7,"data":[null,null]})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_envelope(c.h), c.want);
    }
}

std::string spec_escape(unsigned char c) {
    switch (c) {
        case 0x08:
            return "\\b";
        case 0x09:
            return "\\t";
        case 0x0a:
            return "\\n";
        case 0x0c:
            return "\\f";
        case 0x0d:
            return "\\r";
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u00%02x", c);
    return buf;
}

TEST(EncodeEnvelope, EscapesEveryControlByte) {
    for (int c = 0; c < 0x20; ++c) {
        std::string text = "a" + std::string(1, static_cast<char>(c)) + "b";
        std::string want = "\"a" + spec_escape(static_cast<unsigned char>(c)) + "b\"";
        EXPECT_EQ(encode_envelope(make_header(1, {}, nullptr, text)),
                  "{\"id\":1,\"error\":" + want + "}")
            << "byte " << c;
        EXPECT_EQ(encode_envelope(make_header(1, text)), "{\"id\":1,\"method\":" + want + "}")
            << "byte " << c;
        EXPECT_EQ(encode_envelope(make_header(1, {}, {{text, text}})),
                  "{\"id\":1,\"data\":{" + want + ":" + want + "}}")
            << "byte " << c;
    }
    // Spelled out, so the table above is not only checked against itself.
    EXPECT_EQ(encode_envelope(make_header(1, {}, nullptr, "\x01\x1f\x1b\x0b\x7f")),
              R"({"id":1,"error":"\u0001\u001f\u001b\u000b)"
              "\x7f\"}");
    EXPECT_EQ(encode_envelope(make_header(1, {}, nullptr, "line\n\"q\"\x01")),
              R"({"id":1,"error":"line\n\"q\"\u0001"})");
}

// The escaper scans several bytes at a time, so each byte that needs escaping is tried at
// every offset of a longer text, next to bytes one away from the ones it looks for and next to
// multibyte characters, and the result is compared with a byte-by-byte escape.
TEST(EncodeEnvelope, EscapesAtEveryOffsetOfALongText) {
    auto reference = [](const std::string& text) {
        std::string out = "\"";
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                out += spec_escape(c);
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    };
    const std::string fillers[] = {
        std::string(40, 'a'),
        "!#[]\x1f\x21 \x7f",  // neighbours of the searched bytes; one control among them
        "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa2\xdc\x9c\xe0\xa0\x80 ! # [ ] ~\x7f",
        "a/b'<>&\xe2\x80\xa8\xe2\x80\xa9",  // left alone: no escape for / or these separators
    };
    std::vector<unsigned char> special = {'"', '\\', 0x00, 0x01, 0x08, 0x0a, 0x1f};
    for (const std::string& filler : fillers) {
        std::string base;
        while (base.size() < 40) base += filler;
        for (unsigned char c : special) {
            for (std::size_t at = 0; at <= base.size(); ++at) {
                if (at < base.size() && (static_cast<unsigned char>(base[at]) & 0xC0) == 0x80)
                    continue;  // inside a character: the text would no longer be UTF-8
                std::string text = base;
                text.insert(at, 1, static_cast<char>(c));
                EXPECT_EQ(encode_envelope(make_header(1, {}, nullptr, text)),
                          "{\"id\":1,\"error\":" + reference(text) + "}")
                    << "byte " << int(c) << " at " << at;
            }
        }
        EXPECT_EQ(encode_envelope(make_header(1, {}, nullptr, base)),
                  "{\"id\":1,\"error\":" + reference(base) + "}");
    }
}

TEST(EncodeEnvelope, DecodeThenEncodeIsStable) {
    std::optional<Header> h = decode_envelope(
        R"({"method":"m","data":{"b":[1,{"d":null,"c":"x"}],"a":-1},"id":9,"error":"e"})");
    ASSERT_TRUE(h);
    EXPECT_EQ(encode_envelope(*h),
              R"({"id":9,"method":"m","data":{"a":-1,"b":[1,{"c":"x","d":null}]},"error":"e"})");
}

// ---------------------------------------------------------------------------------------------
// Messages too long for a 32-bit length

// A body view of 2^32 bytes over address space that is reserved but never touched: the writer
// must decide from the length alone, so no memory is committed.
class HugeBody {
  public:
    static constexpr std::size_t kSize = std::size_t{1} << 32;
    HugeBody() {
        p_ = ::mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    }
    ~HugeBody() {
        if (p_ != MAP_FAILED) ::munmap(p_, kSize);
    }
    bool ok() const { return p_ != MAP_FAILED; }
    std::string_view view() const { return {static_cast<const char*>(p_), kSize}; }

  private:
    void* p_;
};

std::string too_long_message(std::uint64_t id) {
    std::string header =
        "{\"id\":" + std::to_string(id) + ",\"error\":\"" + test::os_error(EMSGSIZE) + "\"}";
    return frame(header) + frame("");
}

TEST(EncodeMessage, BodyTooLongForTheLengthFieldBecomesAnErrorReply) {
    HugeBody body;
    if (!body.ok()) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    EXPECT_EQ(encode_message(make_header(9, {}, {{"x", 1}}), body.view()), too_long_message(9));
}

// Read everything available on fd within the timeout.
std::string drain(int fd, int timeout_ms) {
    std::string out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return out;
        char buf[65536];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

TEST(WriteMessage, BodyTooLongIsReplacedNotCut) {
    HugeBody body;
    if (!body.ok()) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    Pipe pipe;
    SharedOutput out(pipe.w);
    write_message(out, make_header(11, {}, {{"x", 1}}), body.view());
    pipe.close_write();
    EXPECT_EQ(drain(pipe.r, 5000), too_long_message(11));
}
TEST(WriteMessage, ConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 60;
    Pipe pipe;
    SharedOutput out(pipe.w);
    std::string received;
    std::thread reader([&] { received = drain(pipe.r, 30000); });

    // Bodies up to well past the pipe's capacity, so writes are partial and must be resumed
    // while the lock is held.
    auto body_for = [](std::uint64_t id) {
        std::size_t len = (id * 7919) % 150000;
        return std::string(len, static_cast<char>('a' + id % 26));
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::uint64_t id = static_cast<std::uint64_t>(t * kPerThread + i + 1);
                write_message(out, make_header(id, {}, {{"n", id}}), body_for(id));
            }
        });
    }
    for (auto& w : writers) w.join();
    pipe.close_write();
    reader.join();

    std::set<std::uint64_t> seen;
    std::vector<std::string_view> frames;
    ASSERT_TRUE(test::split_frames(received, frames)) << "a message cut short";
    ASSERT_EQ(frames.size() % 2, 0u);
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        const std::string header(frames[i]);
        const std::string_view body = frames[i + 1];
        json h = json::parse(header);
        std::uint64_t id = h.at("id").get<std::uint64_t>();
        EXPECT_EQ(header, "{\"id\":" + std::to_string(id) +
                              ",\"data\":{\"n\":" + std::to_string(id) + "}}");
        EXPECT_TRUE(body == body_for(id)) << "body of message " << id;
        EXPECT_TRUE(seen.insert(id).second) << "message " << id << " twice";
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace vesk
