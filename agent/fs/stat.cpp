#include <sys/stat.h>

#include "agent/fs/path.h"
#include "agent/handler.h"

namespace vesk {

HandlerOutcome handle_fs_stat(RequestContext& ctx) {
    FsPath p = decode_fs_path(ctx.data);
    if (p.error && !p.nul_in_path) return p.refusal();

    // Any path that cannot be examined, one holding NUL included, simply does not exist here.
    struct stat st;
    bool exists = !p.error && ::stat(p.path.c_str(), &st) == 0;
    return success({
        {"exists", exists},
        {"is_dir", exists && S_ISDIR(st.st_mode)},
        {"len", exists ? static_cast<std::uint64_t>(st.st_size) : 0},
    });
}

}  // namespace vesk
