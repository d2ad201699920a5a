// Envelope decoding against a second decoder written straight from the envelope rules on top
// of the DOM parser, then the output form: what is accepted must encode to text that follows
// the escaping rules and decodes back to the same envelope.
#include <nlohmann/json.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/text.h"
#include "agent/wire.h"
#include "fuzz/check.h"

namespace {

using json = nlohmann::json;
using vesk::Header;
using namespace vesk::fuzz;

constexpr int kMaxNesting = 127;  // the envelope itself is the first level

bool optional_text(const json& v, std::optional<std::string>& out) {
    if (v.is_null()) return true;
    if (!v.is_string()) return false;
    out = v.get<std::string>();
    return true;
}

bool id_value(const json& v, std::uint64_t& out) {
    if (v.is_number_unsigned()) {
        out = v.get<std::uint64_t>();
        return true;
    }
    // "-0" is an integer without fraction or exponent whose value is 0.
    if (v.is_number_integer() && v.get<std::int64_t>() == 0) {
        out = 0;
        return true;
    }
    return false;
}

std::optional<Header> reference_decode(std::string_view payload) {
    int deepest = 0;
    bool duplicate = false;
    unsigned seen = 0;
    auto watch = [&](int depth, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start ||
            event == json::parse_event_t::array_start) {
            deepest = std::max(deepest, depth + 1);
        } else if (event == json::parse_event_t::key && depth == 1) {
            static const char* const kFields[] = {"id", "method", "data", "error"};
            for (unsigned i = 0; i < 4; ++i) {
                if (parsed == kFields[i]) {
                    duplicate |= (seen & (1u << i)) != 0;
                    seen |= 1u << i;
                }
            }
        }
        return true;
    };
    // Only white space may precede the value; the parser would skip a byte-order mark.
    if (payload.starts_with("\xEF\xBB\xBF")) return std::nullopt;
    // JSON text never holds a raw NUL byte; the parser would take one for the end of input.
    if (payload.find('\0') != std::string_view::npos) return std::nullopt;
    json doc;
    try {
        doc = json::parse(payload.begin(), payload.end(), watch);
    } catch (const json::exception&) {  // syntax errors, and numbers too large for a double
        return std::nullopt;
    }
    if (deepest > kMaxNesting || duplicate) return std::nullopt;

    Header h;
    if (doc.is_object()) {
        auto id = doc.find("id");
        if (id == doc.end() || !id_value(*id, h.id)) return std::nullopt;
        if (auto m = doc.find("method"); m != doc.end() && !optional_text(*m, h.method)) {
            return std::nullopt;
        }
        if (auto e = doc.find("error"); e != doc.end() && !optional_text(*e, h.error)) {
            return std::nullopt;
        }
        if (auto d = doc.find("data"); d != doc.end()) h.data = *d;
        return h;
    }
    if (doc.is_array()) {
        if (doc.empty() || doc.size() > 4 || !id_value(doc[0], h.id)) return std::nullopt;
        if (doc.size() > 1 && !optional_text(doc[1], h.method)) return std::nullopt;
        if (doc.size() > 2) h.data = doc[2];
        if (doc.size() > 3 && !optional_text(doc[3], h.error)) return std::nullopt;
        return h;
    }
    return std::nullopt;
}

// Equality of data values across a write and a read: a non-finite float is written as null,
// an integer may come back signed or unsigned, a finite float must come back bit for bit.
bool same_after_round_trip(const json& before, const json& after) {
    if (before.is_number_float()) {
        const double v = before.get<double>();
        if (!std::isfinite(v)) return after.is_null();
        return after.is_number_float() &&
               std::bit_cast<std::uint64_t>(after.get<double>()) == std::bit_cast<std::uint64_t>(v);
    }
    if (before.is_number_integer() || before.is_number_unsigned()) {
        return (after.is_number_integer() || after.is_number_unsigned()) && after == before;
    }
    if (before.type() != after.type()) return false;
    if (before.is_array()) {
        if (before.size() != after.size()) return false;
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (!same_after_round_trip(before[i], after[i])) return false;
        }
        return true;
    }
    if (before.is_object()) {
        if (before.size() != after.size()) return false;
        for (auto b = before.begin(), a = after.begin(); b != before.end(); ++b, ++a) {
            if (b.key() != a.key() || !same_after_round_trip(b.value(), a.value())) return false;
        }
        return true;
    }
    return before == after;
}

bool same_header(const Header& a, const Header& b) {
    return a.id == b.id && a.method == b.method && a.error == b.error && a.data == b.data;
}

// The written text: no raw control bytes; inside strings only \" \\ \b \f \n \r \t and \u00XX for
// the remaining control characters; no white space outside strings.
void check_output_form(std::string_view text, const std::string& shown) {
    FUZZ_CHECK(vesk::is_valid_utf8(text), shown);
    FUZZ_CHECK(text.starts_with("{\"id\":") && text.ends_with("}"), escaped(text));
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(c >= 0x20, "raw control byte in " + escaped(text));
        if (!in_string) {
            FUZZ_CHECK(c != ' ', "white space outside a string in " + escaped(text));
            if (c == '"') in_string = true;
            continue;
        }
        if (c == '"') {
            in_string = false;
        } else if (c == '\\') {
            FUZZ_CHECK(i + 1 < text.size(), escaped(text));
            const char e = text[++i];
            if (e == 'u') {
                FUZZ_CHECK(i + 4 < text.size(), escaped(text));
                const std::string_view hex = text.substr(i + 1, 4);
                i += 4;
                FUZZ_CHECK(
                    hex.starts_with("00") && (hex[2] == '0' || hex[2] == '1') &&
                        std::string_view("0123456789abcdef").find(hex[3]) != std::string_view::npos,
                    "\\u escape beyond the control characters in " + escaped(text));
                const std::string_view named = "0008 0009 000a 000c 000d";
                FUZZ_CHECK(named.find(hex) == std::string_view::npos,
                           "\\u escape for a character with a short escape in " + escaped(text));
            } else {
                FUZZ_CHECK(std::string_view("\"\\bfnrt").find(e) != std::string_view::npos,
                           "unexpected escape in " + escaped(text));
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const std::string shown = escaped(payload.substr(0, 512));

    std::string why;
    const std::optional<Header> got = vesk::decode_envelope(payload, &why);
    const std::optional<Header> want = reference_decode(payload);
    FUZZ_CHECK(got.has_value() == want.has_value(),
               (got ? std::string("accepted ") : "rejected (" + why + ") ") + shown);
    if (!got) return 0;
    FUZZ_CHECK(same_header(*got, *want), shown);

    const std::string text = vesk::encode_envelope(*got);
    check_output_form(text, shown);
    const std::optional<Header> again = vesk::decode_envelope(text, &why);
    FUZZ_CHECK(again.has_value(), "own output rejected (" + why + "): " + escaped(text));
    FUZZ_CHECK(again->id == got->id && again->method == got->method && again->error == got->error,
               escaped(text));
    FUZZ_CHECK(same_after_round_trip(got->data, again->data), escaped(text));
    FUZZ_CHECK(vesk::encode_envelope(*again) == text, "encoding is not stable: " + escaped(text));

    // The message form: header frame then an empty body frame.
    const std::string message = vesk::encode_message(*got, {});
    const auto* m = reinterpret_cast<const unsigned char*>(message.data());
    FUZZ_CHECK(message.size() == text.size() + 8 && message.substr(4, text.size()) == text &&
                   (std::size_t(m[0]) << 24 | std::size_t(m[1]) << 16 | std::size_t(m[2]) << 8 |
                    m[3]) == text.size() &&
                   message.ends_with(std::string_view("\0\0\0\0", 4)),
               escaped(message));
    return 0;
}
