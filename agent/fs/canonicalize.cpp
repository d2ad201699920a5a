#include <cerrno>
#include <cstdlib>
#include <memory>

#include "agent/handler.h"
#include "agent/params.h"
#include "common/text.h"

namespace vesk {

HandlerOutcome handle_fs_canonicalize(RequestContext& ctx) {
    auto p = decode_fs_params(ctx.data);
    if (!p) return failure(std::move(p.error));

    std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(p->path.expanded.c_str(), nullptr), &std::free);
    if (!resolved) return os_failure(errno);
    // The result is written as a PathParams record, recursive always false.
    return success({{"path", utf8_lossy(resolved.get())}, {"recursive", false}});
}

}  // namespace vesk
