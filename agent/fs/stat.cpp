#include <sys/stat.h>

#include "agent/handler.h"
#include "agent/params.h"

namespace vesk {

HandlerOutcome handle_fs_stat(RequestContext& ctx) {
    auto p = decode_path_params(ctx.data);
    if (!p) return failure(std::move(p.error));

    // Any path that cannot be examined, one holding NUL included, simply does not exist here.
    struct stat st;
    bool exists = !p->path.has_nul() && ::stat(p->path.expanded.c_str(), &st) == 0;
    return success({
        {"exists", exists},
        {"is_dir", exists && S_ISDIR(st.st_mode)},
        {"len", exists ? static_cast<std::uint64_t>(st.st_size) : 0},
    });
}

}  // namespace vesk
