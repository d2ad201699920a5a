#include "agent/dispatch.h"

#include <array>

#include "agent/git/registry.h"
#include "agent/text.h"

namespace vesk {

namespace {

constexpr std::array<MethodRow, 13> kMethods{{
    {"git", handle_git, false},
    {"exec", handle_exec, false},
    {"hello", handle_hello, false},
    {"watch", handle_watch, false},
    {"fs.read", handle_fs_read, false},
    {"fs.stat", handle_fs_stat, false},
    {"unwatch", handle_unwatch, false},
    {"fs.write", handle_fs_write, true},
    {"fs.mkdirp", handle_fs_mkdirp, true},
    {"fs.remove", handle_fs_remove, true},
    {"fs.readdir", handle_fs_readdir, false},
    {"fs.countlines", handle_fs_countlines, false},
    {"fs.canonicalize", handle_fs_canonicalize, false},
}};

}  // namespace

const MethodRow* find_method(std::string_view method) {
    for (const MethodRow& row : kMethods) {
        if (row.name == method) return &row;
    }
    return nullptr;
}

HandlerOutcome dispatch(const Header& request, Bytes body, std::shared_ptr<SharedOutput> output,
                        std::shared_ptr<WatcherRegistry> registry) {
    std::string_view name = request.method ? std::string_view(*request.method) : "";
    const MethodRow* row = find_method(name);
    if (!row) return failure("unknown method " + debug_quote(name));
    RequestContext ctx{request.data, body, std::move(output), std::move(registry)};
    return row->handler(ctx);
}

Header response_header(std::uint64_t id, HandlerOutcome& outcome) {
    Header h;
    h.id = id;
    if (auto* ok = std::get_if<SuccessReply>(&outcome)) {
        h.data = std::move(ok->data);
    } else {
        h.error = std::move(std::get<ErrorReply>(outcome).text);
    }
    return h;
}

}  // namespace vesk
