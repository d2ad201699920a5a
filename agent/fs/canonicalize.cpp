#include <cerrno>
#include <cstdlib>
#include <memory>

#include "agent/fs/path.h"
#include "agent/handler.h"
#include "common/text.h"

namespace vesk {

HandlerOutcome handle_fs_canonicalize(RequestContext& ctx) {
    FsPath p = decode_fs_path(ctx.data);
    if (p.error) return p.refusal();

    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(p.path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) return os_failure(errno);
    // The result is written as a PathParams record, recursive always false.
    return success({{"path", utf8_lossy(resolved.get())}, {"recursive", false}});
}

}  // namespace vesk
