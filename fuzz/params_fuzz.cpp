// The four parameter decoders against a reference decoder written from the decoding rules
// (object form in key order, positional form, value rules, the three message forms). A record
// that decodes must decode to the same record again from its own object and array forms.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/params.h"
#include "fuzz/check.h"
#include "fuzz/reference_text.h"

namespace {

using json = nlohmann::json;
using namespace vesk::fuzz;

enum class Kind { text, boolean, texts, pairs };

struct FieldSpec {
    const char* name;
    Kind kind;
    bool required;
    json fallback;  // value of a defaulted field that is absent
};

struct RecordSpec {
    const char* name;         // "PathParams"
    const char* length_text;  // expectation when the positional form is too short
    std::vector<FieldSpec> fields;
};

// A float in a description is checked by value, not by spelling; this marks where it goes.
constexpr std::string_view kFloatMark = "\x01float\x01";

struct Expected {
    std::optional<json> record;  // canonical form: every field by name
    std::string message;         // else: the message, with kFloatMark standing for a float
    double float_value = 0;
};

std::string describe(const json& v, Expected& e) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
        case json::value_t::number_integer:
            return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
        case json::value_t::number_unsigned:
            return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
        case json::value_t::number_float:
            e.float_value = v.get<double>();
            return "floating point `" + std::string(kFloatMark) + "`";
        case json::value_t::string:
            return "string " + quote(v.get<std::string>());
        case json::value_t::array:
            return "sequence";
        case json::value_t::object:
            return "map";
        default:
            std::abort();  // the parser makes no other kinds
    }
}

std::optional<std::string> invalid_type(const json& v, std::string_view expected, Expected& e) {
    return "invalid type: " + describe(v, e) + ", expected " + std::string(expected);
}

std::optional<std::string> invalid_length(std::size_t n, std::string_view expected) {
    return "invalid length " + std::to_string(n) + ", expected " + std::string(expected);
}

// Value rules; on success *out is the value in canonical form.
std::optional<std::string> decode_value(Kind kind, const json& v, json* out, Expected& e) {
    switch (kind) {
        case Kind::text:
            if (!v.is_string()) return invalid_type(v, "a string", e);
            break;
        case Kind::boolean:
            if (!v.is_boolean()) return invalid_type(v, "a boolean", e);
            break;
        case Kind::texts:
            if (!v.is_array()) return invalid_type(v, "a sequence", e);
            for (const json& s : v) {
                if (!s.is_string()) return invalid_type(s, "a string", e);
            }
            break;
        case Kind::pairs:
            if (!v.is_array()) return invalid_type(v, "a sequence", e);
            for (const json& pair : v) {
                if (!pair.is_array()) return invalid_type(pair, "a tuple of size 2", e);
                // Members are visited in order: a bad member is found before a short length.
                for (std::size_t i = 0; i < 2; ++i) {
                    if (i >= pair.size()) return invalid_length(pair.size(), "a tuple of size 2");
                    if (!pair[i].is_string()) return invalid_type(pair[i], "a string", e);
                }
                if (pair.size() > 2) return invalid_length(pair.size(), "fewer elements in array");
            }
            break;
    }
    *out = v;
    return std::nullopt;
}

Expected reference_decode(const RecordSpec& shape, const json& data) {
    Expected e;
    json record = json::object();
    std::optional<std::string> failure;
    if (data.is_object()) {
        for (auto member = data.begin(); member != data.end() && !failure; ++member) {
            for (const FieldSpec& f : shape.fields) {
                if (member.key() == f.name) {
                    failure = decode_value(f.kind, member.value(), &record[f.name], e);
                }
            }
        }
        for (const FieldSpec& f : shape.fields) {
            if (failure) break;
            if (record.contains(f.name)) continue;
            if (f.required) {
                failure = "missing field `" + std::string(f.name) + "`";
            } else {
                record[f.name] = f.fallback;
            }
        }
    } else if (data.is_array()) {
        for (std::size_t i = 0; i < shape.fields.size() && !failure; ++i) {
            const FieldSpec& f = shape.fields[i];
            if (i < data.size()) {
                failure = decode_value(f.kind, data[i], &record[f.name], e);
            } else if (f.required) {
                failure = invalid_length(data.size(), shape.length_text);
            } else {
                record[f.name] = f.fallback;
            }
        }
        if (!failure && data.size() > shape.fields.size()) {
            failure = invalid_length(data.size(), "fewer elements in array");
        }
    } else {
        failure = invalid_type(data, "struct " + std::string(shape.name), e);
    }
    if (failure) {
        e.message = *failure;
    } else {
        e.record = std::move(record);
    }
    return e;
}

const RecordSpec kPath{
    "PathParams",
    "struct PathParams with 2 elements",
    {{"path", Kind::text, true, nullptr}, {"recursive", Kind::boolean, false, false}}};
const RecordSpec kCount{
    "CountParams", "struct CountParams with 1 element", {{"paths", Kind::texts, true, nullptr}}};
const RecordSpec kGit{"GitParams",
                      "struct GitParams with 3 elements",
                      {{"cwd", Kind::text, true, nullptr},
                       {"args", Kind::texts, true, nullptr},
                       {"env", Kind::pairs, false, json::array()}}};
const RecordSpec kExec{"ExecParams",
                       "struct ExecParams with 3 elements",
                       {{"cwd", Kind::text, true, nullptr},
                        {"program", Kind::text, true, nullptr},
                        {"args", Kind::texts, true, nullptr}}};

json canonical(const vesk::PathParams& p) {
    return {{"path", p.path}, {"recursive", p.recursive}};
}
json canonical(const vesk::CountParams& p) {
    return {{"paths", p.paths}};
}
json canonical(const vesk::GitParams& p) {
    json env = json::array();
    for (const auto& [name, value] : p.env) env.push_back(json::array({name, value}));
    return {{"cwd", p.cwd}, {"args", p.args}, {"env", env}};
}
json canonical(const vesk::ExecParams& p) {
    return {{"cwd", p.cwd}, {"program", p.program}, {"args", p.args}};
}

// The actual message against the expected one; a float is compared by the value its text reads
// back as, since "shortest form" admits more than one spelling.
bool message_matches(std::string_view actual, const Expected& e) {
    const std::size_t mark = e.message.find(kFloatMark);
    if (mark == std::string::npos) return actual == e.message;
    const std::string_view before = std::string_view(e.message).substr(0, mark);
    const std::string_view after = std::string_view(e.message).substr(mark + kFloatMark.size());
    if (!actual.starts_with(before) || !actual.ends_with(after) ||
        actual.size() < before.size() + after.size() + 1) {
        return false;
    }
    const std::string number(
        actual.substr(before.size(), actual.size() - before.size() - after.size()));
    if (number.find_first_not_of("-0123456789.einfaINFe+") != std::string::npos) return false;
    char* end = nullptr;
    const double v = std::strtod(number.c_str(), &end);
    return end == number.c_str() + number.size() &&
           std::bit_cast<std::uint64_t>(v) == std::bit_cast<std::uint64_t>(e.float_value);
}

template <class Decoder>
void check_decoder(const RecordSpec& shape, Decoder decode, const json& data,
                   const std::string& shown) {
    auto got = decode(data);
    const Expected want = reference_decode(shape, data);
    if (!got) {
        FUZZ_CHECK(!want.record, std::string(shape.name) + " rejected " + shown + ": " + got.error);
        FUZZ_CHECK(got.error.starts_with("bad params: "), got.error);
        FUZZ_CHECK(message_matches(std::string_view(got.error).substr(12), want),
                   std::string(shape.name) + " from " + shown + ": got \"" + got.error +
                       "\", want \"" + want.message + "\"");
        return;
    }
    FUZZ_CHECK(want.record,
               std::string(shape.name) + " accepted " + shown + "; want " + want.message);
    const json record = canonical(*got);
    FUZZ_CHECK(record == *want.record,
               std::string(shape.name) + " from " + shown + " is " + record.dump());

    // Written out as an object and as an array, the record reads back as itself.
    json positional = json::array();
    for (const FieldSpec& f : shape.fields) positional.push_back(record[f.name]);
    for (const json& form : {record, positional}) {
        auto again = decode(form);
        FUZZ_CHECK(bool(again), form.dump() + ": " + again.error);
        FUZZ_CHECK(canonical(*again) == record, form.dump());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const json value = json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return -1;
    const std::string shown = escaped(
        std::string_view(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 400)));
    check_decoder(kPath, vesk::decode_path_params, value, shown);
    check_decoder(kCount, vesk::decode_count_params, value, shown);
    check_decoder(kGit, vesk::decode_git_params, value, shown);
    check_decoder(kExec, vesk::decode_exec_params, value, shown);
    return 0;
}
