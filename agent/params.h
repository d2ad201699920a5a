// The four parameter records handlers decode from a request's data, and expand_home.
//
// Paths are decoded once: a RequestPath keeps the text as sent and the path it names, with a
// leading "~" expanded, so no handler expands one itself.
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

struct RequestPath {
    std::string text;      // byte for byte as sent: what per-path turns and events go by
    std::string expanded;  // with a leading "~" expanded (expand_home)
    // A NUL byte, which no system call could receive intact; each method says what it means.
    bool has_nul() const { return expanded.find('\0') != std::string::npos; }
};

struct PathParams {
    RequestPath path;
    bool recursive = false;
};

struct CountParams {
    std::vector<RequestPath> paths;
};

struct GitParams {
    RequestPath cwd;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
};

struct ExecParams {
    RequestPath cwd;
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
// The same for the fs. methods, which refuse a path holding a NUL byte with the system's own
// words for it ("file name contained an unexpected NUL byte").
Decoded<PathParams> decode_fs_params(const nlohmann::json& data);
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
