// The common start of the fs. handlers that take a PathParams record: decode it, expand a
// leading "~", and refuse a path that no system call could receive intact.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "agent/handler.h"

namespace vesk {

struct FsPath {
    std::string path;  // after expand_home
    bool recursive = false;
    // Set when the request cannot go on: "bad params: ..." or the NUL-in-path text.
    std::optional<std::string> error;
    bool nul_in_path = false;  // error holds the NUL text

    HandlerOutcome refusal() const { return failure(*error); }
};

FsPath decode_fs_path(const nlohmann::json& data);

// "." and "..": names every directory holds that lead to itself and to its parent.
inline bool is_dot_or_dotdot(std::string_view name) {
    return name == "." || name == "..";
}

}  // namespace vesk
