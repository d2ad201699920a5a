#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "agent/fs/path.h"
#include "agent/handler.h"
#include "agent/params.h"
#include "common/sys.h"
#include "common/text.h"

namespace vesk {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

HandlerOutcome handle_fs_readdir(RequestContext& ctx) {
    auto p = decode_fs_params(ctx.data);
    if (!p) return failure(std::move(p.error));

    unique_fd fd(::open(p->path.expanded.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return os_failure(errno);
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.get()));
    if (!dir) return os_failure(errno);
    fd.release();  // the stream owns it now

    std::vector<std::string> names;
    // A failed read ends the listing with what was read so far: the stream cannot be trusted
    // to move past the failure, and retrying could loop for ever on a failing disk.
    while (const dirent* e = ::readdir(dir.get())) {
        if (!is_dot_or_dotdot(e->d_name)) names.push_back(utf8_lossy(e->d_name));
    }
    dir.reset();

    // std::string compares as unsigned bytes, which is the order names are listed in.
    std::stable_sort(names.begin(), names.end());
    return success(nlohmann::json(std::move(names)));
}

}  // namespace vesk
