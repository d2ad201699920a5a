#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "agent/handler.h"
#include "agent/params.h"
#include "common/sys.h"

namespace vesk {
namespace {

// A stream takes its body a pipe's worth at a time, so that each piece that got through counts
// as progress; a file takes it in a few large writes.
constexpr std::size_t kStreamPiece = 64 << 10;
constexpr std::size_t kFilePiece = 8 << 20;

int write_body(int fd, const Bytes& body, ChangeHold* change) {
    struct stat st;
    const bool stream = ::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    const std::size_t piece = stream ? kStreamPiece : kFilePiece;
    if (stream && change) change->streamed();
    for (std::size_t done = 0; done < body.size();) {
        const std::size_t n = std::min(piece, body.size() - done);
        if (int err = write_all(fd, body.data() + done, n)) return err;
        done += n;
        if (stream && change) change->streamed();
    }
    return 0;
}

}  // namespace

HandlerOutcome handle_fs_write(RequestContext& ctx) {
    auto p = decode_fs_params(ctx.data);
    if (!p) return failure(std::move(p.error));

    // A named pipe without a reader would block the open until one comes, perhaps never.
    // Nothing has changed while it waits, so end of input need not wait for it meanwhile.
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    unique_fd fd(::open(p->path.expanded.c_str(), flags | O_NONBLOCK, 0666));
    if (!fd && errno == ENXIO) {
        if (ctx.change) ctx.change->let_go();
        fd.reset(::open(p->path.expanded.c_str(), flags, 0666));
        int err = errno;
        if (ctx.change) ctx.change->take_back();
        errno = err;
    } else if (fd && ::fcntl(fd.get(), F_SETFL, 0) != 0) {
        return os_failure(errno);
    }
    if (!fd) return os_failure(errno);
    if (int err = write_body(fd.get(), ctx.body, ctx.change)) return os_failure(err);
    // Some file systems report a failed write only when the file is closed; that is still a
    // failed write, not a success. EINTR from close leaves the descriptor closed on Linux.
    if (::close(fd.release()) != 0 && errno != EINTR) return os_failure(errno);
    return success();
}

}  // namespace vesk
