// The reply rule shared by "exec" and "git": data {"code","stderr"}, body = the child's stdout;
// a failure to run the child to its end becomes an error reply.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "agent/exec/run_command.h"
#include "agent/handler.h"

namespace vesk {

inline HandlerOutcome command_reply(RunResult result) {
    if (auto* text = std::get_if<std::string>(&result)) return failure(std::move(*text));
    auto& out = std::get<ChildOutput>(result);
    nlohmann::json data = {{"code", out.code}, {"stderr", std::move(out.stderr_text)}};
    return success(std::move(data), std::move(out.stdout_bytes));
}

}  // namespace vesk
