// The four parameter decoders on any JSON value: a refusal is one of the three message forms,
// in UTF-8; a record that decodes must decode to itself again from its own object and array
// forms, whatever order and extra members the input had.
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "agent/params.h"
#include "common/text.h"
#include "fuzz/check.h"

namespace {

using json = nlohmann::json;

json fields(const vesk::PathParams& p) {
    return {{"path", p.path}, {"recursive", p.recursive}};
}
json fields(const vesk::CountParams& p) {
    return {{"paths", p.paths}};
}
json fields(const vesk::GitParams& p) {
    json env = json::array();
    for (const auto& [name, value] : p.env) env.push_back(json::array({name, value}));
    return {{"cwd", p.cwd}, {"args", p.args}, {"env", env}};
}
json fields(const vesk::ExecParams& p) {
    return {{"cwd", p.cwd}, {"program", p.program}, {"args", p.args}};
}

template <class Decode>
void check(Decode decode, const json& data, std::initializer_list<const char*> order) {
    auto got = decode(data);
    if (!got) {
        const std::string_view e = got.error;
        FUZZ_CHECK(vesk::is_valid_utf8(e) && e.starts_with("bad params: "));
        const std::string_view what = e.substr(12);
        FUZZ_CHECK(what.starts_with("invalid type: ") || what.starts_with("invalid length ") ||
                   what.starts_with("missing field `"));
        return;
    }
    const json record = fields(*got);
    json positional = json::array();
    for (const char* name : order) positional.push_back(record[name]);
    for (const json& form : {record, positional}) {
        auto again = decode(form);
        FUZZ_CHECK(again && fields(*again) == record);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const json value = json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return -1;
    check(vesk::decode_path_params, value, {"path", "recursive"});
    check(vesk::decode_count_params, value, {"paths"});
    check(vesk::decode_git_params, value, {"cwd", "args", "env"});
    check(vesk::decode_exec_params, value, {"cwd", "program", "args"});
    return 0;
}
