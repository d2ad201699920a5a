#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "agent/fs/path.h"
#include "agent/handler.h"
#include "common/sys.h"

namespace vesk {

HandlerOutcome handle_fs_write(RequestContext& ctx) {
    FsPath p = decode_fs_path(ctx.data);
    if (p.error) return p.refusal();

    unique_fd fd(::open(p.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return os_failure(errno);
    // Open, possibly after a long wait for a named pipe's reader: from here on the file is
    // being changed, and end of input waits for this write to finish.
    if (ctx.begin_change) ctx.begin_change();
    if (int err = write_all(fd.get(), ctx.body.data(), ctx.body.size())) return os_failure(err);
    // Some file systems report a failed write only when the file is closed; that is still a
    // failed write, not a success. EINTR from close leaves the descriptor closed on Linux.
    if (::close(fd.release()) != 0 && errno != EINTR) return os_failure(errno);
    return success();
}

}  // namespace vesk
