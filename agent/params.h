// The four parameter records handlers decode from a request's data, and expand_home.
//
// Decoding errors use the wording controllers already match on ("missing field `path`",
// "invalid type: integer `5`, expected a string", ...); the full reply text is
// "bad params: " + that message.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk {

struct PathParams {
    std::string path;
    bool recursive = false;
};

struct CountParams {
    std::vector<std::string> paths;
};

struct GitParams {
    std::string cwd;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
};

struct ExecParams {
    std::string cwd;
    std::string program;
    std::vector<std::string> args;
};

// Either a record or the complete error reply text ("bad params: ...").
template <class T>
struct Decoded {
    std::optional<T> value;
    std::string error;
    explicit operator bool() const { return value.has_value(); }
    T& operator*() { return *value; }
    T* operator->() { return &*value; }
};

Decoded<PathParams> decode_path_params(const nlohmann::json& data);
Decoded<CountParams> decode_count_params(const nlohmann::json& data);
Decoded<GitParams> decode_git_params(const nlohmann::json& data);
Decoded<ExecParams> decode_exec_params(const nlohmann::json& data);

// Replaces a leading "~" or "~/" by $HOME (empty when unset or not UTF-8). Reads the
// environment on every call.
std::string expand_home(std::string_view path);

// name joined to dir: an absolute name stands alone; otherwise one "/" separates them unless
// dir already ends with one. An empty dir yields the name unchanged, so a relative name never
// turns into a path under "/".
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace vesk
