#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/fs/remove_tree.h"
#include "agent/handler.h"
#include "agent/params.h"

namespace vesk {

HandlerOutcome handle_fs_remove(RequestContext& ctx) {
    auto p = decode_fs_params(ctx.data);
    if (!p) return failure(std::move(p.error));

    // Links are followed for this decision only: a link to a directory counts as a directory,
    // so without recursion rmdir refuses it (ENOTDIR), and remove_tree removes just the link.
    struct stat st;
    bool is_dir = ::stat(p->path.expanded.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    int err = 0;
    if (is_dir && p->recursive) {
        err = remove_tree(p->path.expanded);
    } else if (is_dir) {
        err = ::rmdir(p->path.expanded.c_str()) == 0 ? 0 : errno;
    } else {
        err = ::unlink(p->path.expanded.c_str()) == 0 ? 0 : errno;
    }
    return err ? os_failure(err) : success();
}

}  // namespace vesk
