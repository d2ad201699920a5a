#include "agent/fs/path.h"

#include "agent/params.h"
#include "common/sys.h"

namespace vesk {

FsPath decode_fs_path(const nlohmann::json& data) {
    FsPath out;
    Decoded<PathParams> d = decode_path_params(data);
    if (!d) {
        out.error = std::move(d.error);
        return out;
    }
    out.path = expand_home(d->path);
    out.recursive = d->recursive;
    if (contains_nul(out.path)) {
        out.error = std::string(kNulInPathText);
        out.nul_in_path = true;
    }
    return out;
}

}  // namespace vesk
