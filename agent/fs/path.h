// The common start of the fs. handlers that take a PathParams record: decode it, expand a
// leading "~", and refuse a path that no system call could receive intact.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "agent/dispatch.h"
#include "agent/sys.h"

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

// The reply for a failed system call: its error text, no data, no body.
inline HandlerOutcome os_failure(int err) {
    return failure(os_error_text(err));
}

}  // namespace vesk
