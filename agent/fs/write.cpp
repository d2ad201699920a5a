#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "agent/dispatch.h"
#include "agent/fs/path.h"
#include "agent/sys.h"

namespace vesk {

HandlerOutcome handle_fs_write(RequestContext& ctx) {
    FsPath p = decode_fs_path(ctx.data);
    if (p.error) return p.refusal();

    unique_fd fd(::open(p.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return os_failure(errno);
    if (int err = write_all(fd.get(), ctx.body.data(), ctx.body.size())) return os_failure(err);
    // Some file systems report a failed write only when the file is closed; that is still a
    // failed write, not a success. EINTR from close leaves the descriptor closed on Linux.
    if (::close(fd.release()) != 0 && errno != EINTR) return os_failure(errno);
    return success();
}

}  // namespace vesk
