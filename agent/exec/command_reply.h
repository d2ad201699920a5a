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
    // stderr may be tens of megabytes: it goes from its capture buffer into the reply as it is
    // (made UTF-8 there), not through a copy in the JSON value.
    return SuccessReply{
        {{"code", out.code}}, std::move(out.stdout_bytes), "stderr", std::move(out.stderr_bytes)};
}

}  // namespace vesk
