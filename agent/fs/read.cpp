#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "agent/handler.h"
#include "agent/params.h"
#include "common/codec.h"
#include "common/sys.h"

namespace vesk {

namespace {

// First buffer for files whose size the system does not know in advance (/proc, pipes).
constexpr std::size_t kUnknownSizeStart = 64 * 1024;

// Reads fd to end of file into out, which may already have room for the expected size.
// Returns 0 or the errno value; EMSGSIZE when the content outgrows a body frame.
int read_to_end(int fd, Bytes& out) {
    // Capacity never exceeds this: holding one byte past the frame limit is enough to know.
    constexpr std::size_t kLimit = kMaxWrittenFrameLen + std::size_t{1};
    std::size_t got = 0;
    for (;;) {
        if (got == out.capacity()) {
            if (got >= kLimit) return EMSGSIZE;
            std::size_t next = std::clamp(got * 2, kUnknownSizeStart, kLimit);
            if (!out.try_reserve(next)) return ENOMEM;
        }
        ssize_t r = ::read(fd, out.data() + got, out.capacity() - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    out.resize_uninitialized(got);
    return 0;
}

}  // namespace

HandlerOutcome handle_fs_read(RequestContext& ctx) {
    auto p = decode_fs_params(ctx.data);
    if (!p) return failure(std::move(p.error));

    unique_fd fd(::open(p->path.expanded.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return os_failure(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_failure(errno);
    // Refused before reading: such a file could never be answered in one body frame.
    if (static_cast<std::uint64_t>(st.st_size) > kMaxWrittenFrameLen) return os_failure(EMSGSIZE);

    // Room for the reported size plus one byte, so the end of file is seen without growing.
    // No huge-page advice: on a virtual machine whose host took idle memory back, 2 MiB pages
    // made the first large read after a pause three times slower than 4 KiB ones.
    Bytes body;
    if (!body.try_reserve(static_cast<std::size_t>(st.st_size) + 1)) return os_failure(ENOMEM);
    if (int err = read_to_end(fd.get(), body)) return os_failure(err);
    return success(nullptr, std::move(body));
}

}  // namespace vesk
