#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/fs/path.h"
#include "agent/fs/remove_tree.h"
#include "agent/handler.h"

namespace vesk {

HandlerOutcome handle_fs_remove(RequestContext& ctx) {
    FsPath p = decode_fs_path(ctx.data);
    if (p.error) return p.refusal();

    // Links are followed for this decision only: a link to a directory counts as a directory,
    // so without recursion rmdir refuses it (ENOTDIR), and remove_tree removes just the link.
    struct stat st;
    bool is_dir = ::stat(p.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    int err = 0;
    if (is_dir && p.recursive) {
        err = remove_tree(p.path);
    } else if (is_dir) {
        err = ::rmdir(p.path.c_str()) == 0 ? 0 : errno;
    } else {
        err = ::unlink(p.path.c_str()) == 0 ? 0 : errno;
    }
    return err ? os_failure(err) : success();
}

}  // namespace vesk
