// "hello": what the controller is talking to. Computed afresh on every call.
#include <cstdlib>
#include <string>

#include "agent/dispatch.h"
#include "agent/exec/run_command.h"
#include "agent/text.h"
#include "agent/version.h"

#ifndef VESK_ARCH
#error "VESK_ARCH must name the processor the agent is built for"
#endif

namespace vesk {

namespace {

// The host git's version line, or null when git cannot run or does not succeed.
nlohmann::json probe_git() {
    ChildSpec desc;
    desc.program = "git";
    desc.args = {"--version"};
    CommandResult result = run_command(desc);
    auto* out = std::get_if<CommandOutput>(&result);
    if (!out || out->code != 0) return nullptr;
    return std::string(trim_unicode_whitespace(utf8_lossy(out->stdout_bytes.view())));
}

std::string home_text() {
    const char* home = std::getenv("HOME");
    if (!home || !is_valid_utf8(home)) return {};
    return home;
}

}  // namespace

HandlerOutcome handle_hello(RequestContext&) {
    nlohmann::json data = nlohmann::json::object();
    data["arch"] = VESK_ARCH;
    data["git"] = probe_git();
    data["home"] = home_text();
    data["os"] = "linux";
    data["protocol"] = static_cast<unsigned>(kProtocolRevision);
    data["version"] = VESK_VERSION;
    return success(std::move(data));
}

}  // namespace vesk
