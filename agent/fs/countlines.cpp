#include "agent/handler.h"
#include "agent/params.h"
#include "linecount/count_lines.h"

namespace vesk {

HandlerOutcome handle_fs_countlines(RequestContext& ctx) {
    Decoded<CountParams> d = decode_count_params(ctx.data);
    if (!d) return failure(std::move(d.error));

    nlohmann::json counts = nlohmann::json::array();
    for (const RequestPath& path : d->paths) {
        std::optional<std::uint32_t> n = count_lines(path.expanded);
        counts.push_back(n ? nlohmann::json(*n) : nlohmann::json(nullptr));
    }
    return success(std::move(counts));
}

}  // namespace vesk
