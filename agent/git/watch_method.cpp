// "watch" and "unwatch": the path text goes to the watch service as it was sent.
#include "agent/git/watch_service.h"
#include "agent/handler.h"
#include "agent/params.h"

namespace vesk {

HandlerOutcome handle_watch(RequestContext& ctx) {
    auto params = decode_path_params(ctx.data);
    if (!params) return failure(std::move(params.error));
    if (int rc = ctx.watches->watch(params->path)) return os_failure(rc);
    return success();
}

HandlerOutcome handle_unwatch(RequestContext& ctx) {
    auto params = decode_path_params(ctx.data);
    if (!params) return failure(std::move(params.error));
    ctx.watches->unwatch(params->path.text);
    return success();
}

}  // namespace vesk
