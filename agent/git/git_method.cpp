// "git": runs the host's git with the caller's arguments and environment pairs.
#include <string>

#include "agent/exec/command_reply.h"
#include "agent/git/git_child.h"
#include "agent/params.h"

namespace vesk {

HandlerOutcome handle_git(RequestContext& ctx) {
    auto params = decode_git_params(ctx.data);
    if (!params) return failure(std::move(params.error));
    ChildSpec desc = git_child(std::move(params->cwd.expanded), std::move(params->args));
    // Never wait on a credential prompt nobody can answer, and keep messages in one language.
    // The caller's pairs come after ours, so they can override either.
    desc.env.reserve(params->env.size() + 2);
    desc.env.emplace_back("GIT_TERMINAL_PROMPT", "0");
    desc.env.emplace_back("LC_ALL", "C");
    for (auto& pair : params->env) desc.env.push_back(std::move(pair));
    return command_reply(run_command(desc, std::move(ctx.body)));
}

}  // namespace vesk
