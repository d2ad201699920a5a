// The envelope decoder: a header frame's payload to a Header, for requests and replies alike.
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "common/codec.h"

namespace vesk {

using json = nlohmann::json;

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
    } catch (const std::bad_alloc&) {
        throw;  // not a malformed envelope: the caller may try again once memory is back
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

}  // namespace vesk
