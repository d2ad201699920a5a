#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "agent/handler.h"
#include "agent/params.h"

namespace vesk {

namespace {

constexpr mode_t kDirMode = 0777;

// The path one level up: "a/b" -> "a", "/a" -> "/", "a//b/" -> "a". Empty when there is none
// ("a" or "/"), which ends the walk.
std::string_view parent_of(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path == "/") return {};
    std::string_view parent = path.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
    return parent.empty() ? std::string_view("/") : parent;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir that counts an existing directory (made by us earlier or by anyone meanwhile) as done.
// Returns 0 or the errno value; something other than a directory in the way is EEXIST.
int make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), kDirMode) == 0) return 0;
    int err = errno;
    if (err == EEXIST && is_directory(path)) return 0;
    return err;
}

}  // namespace

HandlerOutcome handle_fs_mkdirp(RequestContext& ctx) {
    auto p = decode_fs_params(ctx.data);
    if (!p) return failure(std::move(p.error));
    if (p->path.expanded.empty()) return success();

    // Walk up until a level is created or already there, remembering the levels whose own
    // parent was missing; then create those outermost first.
    std::vector<std::string> missing;
    std::string level = p->path.expanded;
    for (;;) {
        int err = make_dir(level);
        if (err == 0) break;
        if (err != ENOENT) return os_failure(err);
        missing.push_back(level);
        std::string_view up = parent_of(level);
        if (up.empty()) break;
        level = std::string(up);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (int err = make_dir(*it)) return os_failure(err);
    }
    return success();
}

}  // namespace vesk
