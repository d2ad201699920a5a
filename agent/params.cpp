#include "agent/params.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <span>
#include <variant>

#include "common/sys.h"
#include "common/text.h"

namespace vesk {
namespace {

using json = nlohmann::json;
using EnvPairs = std::vector<std::pair<std::string, std::string>>;

// A decoding failure's message (without the "bad params: " prefix); nullopt on success.
using Failure = std::optional<std::string>;

// All wording controllers match on lives here.
namespace wording {

constexpr std::string_view kString = "a string";
constexpr std::string_view kBoolean = "a boolean";
constexpr std::string_view kSequence = "a sequence";
constexpr std::string_view kPair = "a tuple of size 2";
constexpr std::string_view kFewerElements = "fewer elements in array";

std::string describe_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Shortest round-trip form in positional notation; the smallest subnormal needs 327 chars.
    char buf[400];
    const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr;
    std::string text(buf, end);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string describe(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return v.get<bool>() ? "boolean `true`" : "boolean `false`";
        case json::value_t::number_integer:
            return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
        case json::value_t::number_unsigned:
            return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
        case json::value_t::number_float:
            return "floating point `" + describe_float(v.get<double>()) + "`";
        case json::value_t::string:
            return "string " + debug_quote(v.get_ref<const std::string&>());
        case json::value_t::array:
            return "sequence";
        case json::value_t::object:
            return "map";
        case json::value_t::binary:
            return "byte array";
        case json::value_t::discarded:
            break;
    }
    return "unit value";
}

std::string missing_field(std::string_view name) {
    return "missing field `" + std::string(name) + "`";
}

std::string invalid_type(const json& v, std::string_view expected) {
    return "invalid type: " + describe(v) + ", expected " + std::string(expected);
}

std::string invalid_length(std::size_t n, std::string_view expected) {
    return "invalid length " + std::to_string(n) + ", expected " + std::string(expected);
}

std::string record_name(std::string_view record) {
    return "struct " + std::string(record);
}

std::string record_length(std::string_view record, std::size_t fields) {
    return record_name(record) + " with " + std::to_string(fields) +
           (fields == 1 ? " element" : " elements");
}

std::string bad_params(std::string_view message) {
    return "bad params: " + std::string(message);
}

}  // namespace wording

// Value rules, one per field type.

Failure decode_value(const json& v, std::string& out) {
    if (!v.is_string()) return wording::invalid_type(v, wording::kString);
    out = v.get_ref<const std::string&>();
    return std::nullopt;
}

Failure decode_value(const json& v, RequestPath& out) {
    if (!v.is_string()) return wording::invalid_type(v, wording::kString);
    out.text = v.get_ref<const std::string&>();
    out.expanded = expand_home(out.text);
    return std::nullopt;
}

Failure decode_value(const json& v, bool& out) {
    if (!v.is_boolean()) return wording::invalid_type(v, wording::kBoolean);
    out = v.get<bool>();
    return std::nullopt;
}

template <class T>
Failure decode_value(const json& v, std::vector<T>& out) {
    if (!v.is_array()) return wording::invalid_type(v, wording::kSequence);
    out.clear();
    out.reserve(v.size());
    for (const json& element : v) {
        if (Failure f = decode_value(element, out.emplace_back())) return f;
    }
    return std::nullopt;
}

// Members are checked in order before the count, so ["a", 5, "c"] reports the 5 and
// ["a", "b", 5] reports the length.
Failure decode_pair(const json& v, std::pair<std::string, std::string>& out) {
    if (!v.is_array()) return wording::invalid_type(v, wording::kPair);
    std::string* members[] = {&out.first, &out.second};
    for (std::size_t i = 0; i < 2; ++i) {
        if (i >= v.size()) return wording::invalid_length(v.size(), wording::kPair);
        if (Failure f = decode_value(v[i], *members[i])) return f;
    }
    if (v.size() > 2) return wording::invalid_length(v.size(), wording::kFewerElements);
    return std::nullopt;
}

Failure decode_value(const json& v, EnvPairs& out) {
    if (!v.is_array()) return wording::invalid_type(v, wording::kSequence);
    out.clear();
    out.reserve(v.size());
    for (const json& element : v) {
        if (Failure f = decode_pair(element, out.emplace_back())) return f;
    }
    return std::nullopt;
}

// Record shapes.

template <class R>
using FieldTarget =
    std::variant<std::string R::*, RequestPath R::*, bool R::*, std::vector<std::string> R::*,
                 std::vector<RequestPath> R::*, EnvPairs R::*>;

template <class R>
struct Field {
    std::string_view name;
    FieldTarget<R> target;
    bool required;  // otherwise the record's default stays
};

// Fields in declaration order: the positional order and the order missing ones are reported.
template <class R>
struct Shape {
    std::string_view name;
    std::span<const Field<R>> fields;
};

template <class R>
Failure decode_field(const Field<R>& field, const json& v, R& record) {
    return std::visit([&](auto member) { return decode_value(v, record.*member); }, field.target);
}

// Keys are visited in byte order (nlohmann objects are ordered maps), so among several bad
// members the smallest key is reported, and any type error wins over a missing field.
template <class R>
Failure decode_object(const Shape<R>& shape, const json& data, R& record) {
    unsigned present = 0;  // bit i: field i was given
    for (auto member = data.begin(); member != data.end(); ++member) {
        for (std::size_t i = 0; i < shape.fields.size(); ++i) {
            if (shape.fields[i].name != member.key()) continue;
            if (Failure f = decode_field(shape.fields[i], member.value(), record)) return f;
            present |= 1u << i;
        }
    }
    for (std::size_t i = 0; i < shape.fields.size(); ++i) {
        if (shape.fields[i].required && (present & (1u << i)) == 0) {
            return wording::missing_field(shape.fields[i].name);
        }
    }
    return std::nullopt;
}

template <class R>
Failure decode_array(const Shape<R>& shape, const json& data, R& record) {
    for (std::size_t i = 0; i < shape.fields.size(); ++i) {
        const Field<R>& field = shape.fields[i];
        if (i >= data.size()) {
            if (!field.required) continue;
            return wording::invalid_length(data.size(),
                                           wording::record_length(shape.name, shape.fields.size()));
        }
        if (Failure f = decode_field(field, data[i], record)) return f;
    }
    if (data.size() > shape.fields.size()) {
        return wording::invalid_length(data.size(), wording::kFewerElements);
    }
    return std::nullopt;
}

template <class R>
Decoded<R> decode_record(const Shape<R>& shape, const json& data) {
    R record{};
    Failure failure;
    if (data.is_object()) {
        failure = decode_object(shape, data, record);
    } else if (data.is_array()) {
        failure = decode_array(shape, data, record);
    } else {
        failure = wording::invalid_type(data, wording::record_name(shape.name));
    }
    Decoded<R> result;
    if (failure) {
        result.error = wording::bad_params(*failure);
    } else {
        result.value = std::move(record);
    }
    return result;
}

constexpr Field<PathParams> kPathFields[] = {
    {"path", &PathParams::path, true},
    {"recursive", &PathParams::recursive, false},
};
constexpr Field<CountParams> kCountFields[] = {
    {"paths", &CountParams::paths, true},
};
constexpr Field<GitParams> kGitFields[] = {
    {"cwd", &GitParams::cwd, true},
    {"args", &GitParams::args, true},
    {"env", &GitParams::env, false},
};
constexpr Field<ExecParams> kExecFields[] = {
    {"cwd", &ExecParams::cwd, true},
    {"program", &ExecParams::program, true},
    {"args", &ExecParams::args, true},
};

}  // namespace

Decoded<PathParams> decode_path_params(const json& data) {
    return decode_record(Shape<PathParams>{"PathParams", kPathFields}, data);
}

Decoded<PathParams> decode_fs_params(const json& data) {
    Decoded<PathParams> d = decode_path_params(data);
    if (d && d->path.has_nul()) {
        d.value.reset();
        d.error = std::string(kNulInPathText);
    }
    return d;
}

Decoded<CountParams> decode_count_params(const json& data) {
    return decode_record(Shape<CountParams>{"CountParams", kCountFields}, data);
}

Decoded<GitParams> decode_git_params(const json& data) {
    return decode_record(Shape<GitParams>{"GitParams", kGitFields}, data);
}

Decoded<ExecParams> decode_exec_params(const json& data) {
    return decode_record(Shape<ExecParams>{"ExecParams", kExecFields}, data);
}

std::string join_path(std::string_view dir, std::string_view name) {
    if (name.starts_with('/') || dir.empty()) return std::string(name);
    std::string out(dir);
    if (!out.ends_with('/')) out.push_back('/');
    out.append(name);
    return out;
}

std::string expand_home(std::string_view path) {
    const std::string home = home_dir();
    if (path == "~") return home;
    if (path.starts_with("~/")) return join_path(home, path.substr(2));
    return std::string(path);
}

}  // namespace vesk
