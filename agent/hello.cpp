// "hello": what the controller is talking to. Computed afresh on every call.
#include <string>

#include "agent/git/git_child.h"
#include "agent/handler.h"
#include "agent/version.h"
#include "common/text.h"

#ifndef VESK_ARCH
#error "VESK_ARCH must name the processor the agent is built for"
#endif

namespace vesk {

namespace {

// The host git's version line, or null when git cannot run or does not succeed.
nlohmann::json probe_git() {
    RunResult result = run_command(git_child(std::nullopt, {"--version"}));
    auto* out = std::get_if<ChildOutput>(&result);
    if (!out || out->code != 0) return nullptr;
    return std::string(trim_unicode_whitespace(utf8_lossy(out->stdout_bytes.view())));
}

}  // namespace

HandlerOutcome handle_hello(RequestContext&) {
    nlohmann::json data = nlohmann::json::object();
    data["arch"] = VESK_ARCH;
    data["git"] = probe_git();
    data["home"] = home_dir();
    data["os"] = "linux";
    data["protocol"] = static_cast<unsigned>(kProtocolRevision);
    data["version"] = VESK_VERSION;
    return success(std::move(data));
}

}  // namespace vesk
