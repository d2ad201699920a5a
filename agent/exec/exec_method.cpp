// "exec": runs a program with the caller's arguments, working directory and standard input.
#include <cstdlib>
#include <string>

#include "agent/exec/command_reply.h"
#include "agent/params.h"
#include "common/text.h"

namespace vesk {
namespace {

// The one program name that is not literal: "$SHELL" stands for the user's shell.
std::string resolve_program(std::string program) {
    if (program != "$SHELL") return program;
    const char* shell = std::getenv("SHELL");
    if (shell == nullptr || !is_valid_utf8(shell)) return "/bin/sh";
    return shell;  // even when empty: the start then fails like any missing program
}

}  // namespace

HandlerOutcome handle_exec(RequestContext& ctx) {
    auto params = decode_exec_params(ctx.data);
    if (!params) return failure(std::move(params.error));
    ChildSpec desc;
    desc.program = resolve_program(std::move(params->program));
    desc.args = std::move(params->args);
    desc.cwd = std::move(params->cwd.expanded);
    return command_reply(run_command(desc, std::move(ctx.body)));
}

}  // namespace vesk
