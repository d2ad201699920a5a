// The envelope codec. What the streaming decoder accepts must be JSON that the document parser
// reads the same way; any header must encode to the form built plainly from dump() (members in
// their fixed order, strings repaired to UTF-8) and decode back to itself, framed whole. The
// decoded data then goes through every parameter decoder, as a request's would: a refusal must
// be UTF-8 text, whatever the value.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/params.h"
#include "common/codec.h"
#include "common/text.h"
#include "fuzz/check.h"

namespace {

using json = nlohmann::json;

json text_or_null(const std::optional<std::string>& s) {
    return s ? json(vesk::utf8_lossy(*s)) : json();
}

std::string plain_encoding(const vesk::Header& h) {
    std::string s = "{\"id\":" + std::to_string(h.id);
    if (h.method) s += ",\"method\":" + text_or_null(h.method).dump();
    if (!h.data.is_null()) s += ",\"data\":" + h.data.dump();
    if (h.error) s += ",\"error\":" + text_or_null(h.error).dump();
    return s + "}";
}

int depth(const json& v) {
    if (!v.is_structured()) return 0;
    int inner = 0;
    for (const json& e : v) inner = std::max(inner, depth(e));
    return inner + 1;
}

void check_round_trip(const vesk::Header& h) {
    const std::string text = vesk::encode_envelope(h);
    FUZZ_CHECK(text == plain_encoding(h));
    const std::optional<vesk::Header> again = vesk::decode_envelope(text);
    FUZZ_CHECK(again && again->id == h.id && again->data == h.data);
    FUZZ_CHECK(text_or_null(again->method) == text_or_null(h.method));
    FUZZ_CHECK(text_or_null(again->error) == text_or_null(h.error));
    std::vector<std::string_view> frames;
    const std::string message = vesk::encode_message(h, text);
    FUZZ_CHECK(vesk::split_frames(message, frames) && frames.size() == 2);
    FUZZ_CHECK(frames[0] == text && frames[1] == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const json doc = json::parse(payload, nullptr, /*allow_exceptions=*/false);
    if (const std::optional<vesk::Header> h = vesk::decode_envelope(payload)) {
        FUZZ_CHECK(doc.is_object() || (doc.is_array() && !doc.empty() && doc.size() <= 4));
        auto member = [&](const char* name, std::size_t index) {
            if (doc.is_array()) return index < doc.size() ? doc[index] : json();
            return doc.value(name, json());
        };
        FUZZ_CHECK(member("id", 0) == h->id);
        FUZZ_CHECK(member("method", 1) == text_or_null(h->method));
        FUZZ_CHECK(member("data", 2) == h->data);
        FUZZ_CHECK(member("error", 3) == text_or_null(h->error));
        check_round_trip(*h);
        for (const std::string& e :
             {vesk::decode_path_params(h->data).error, vesk::decode_count_params(h->data).error,
              vesk::decode_git_params(h->data).error, vesk::decode_exec_params(h->data).error})
            FUZZ_CHECK(e.empty() || (vesk::is_valid_utf8(e) && e.starts_with("bad params: ")));
    }
    // Any JSON value as data, the raw input (valid UTF-8 or not) as method and error.
    if (!doc.is_discarded() && depth(doc) < 127) {
        vesk::Header any{size * 0x9E3779B97F4A7C15u, std::string(payload), doc, {}};
        if (size % 2) any.error = std::string(payload.substr(size / 2));
        check_round_trip(any);
    }
    return 0;
}
