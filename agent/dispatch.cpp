#include "agent/dispatch.h"

#include <array>
#include <cerrno>
#include <exception>
#include <new>

#include "common/text.h"

namespace vesk {
namespace {

constexpr std::array<MethodRow, 13> kMethods{{
    {"git", handle_git, false, false, true},
    {"exec", handle_exec, false, false, true},
    {"hello", handle_hello, false, false, true},
    {"watch", handle_watch, false, false, true},
    {"fs.read", handle_fs_read, false, false, false},
    {"fs.stat", handle_fs_stat, false, false, false},
    {"unwatch", handle_unwatch, false, false, false},
    {"fs.write", handle_fs_write, true, true, false},
    {"fs.mkdirp", handle_fs_mkdirp, true, false, false},
    {"fs.remove", handle_fs_remove, true, false, false},
    {"fs.readdir", handle_fs_readdir, false, false, false},
    {"fs.countlines", handle_fs_countlines, false, false, false},
    {"fs.canonicalize", handle_fs_canonicalize, false, false, false},
}};

HandlerOutcome run_handler(const MethodRow* row, const Header& request, Bytes& body,
                           WatchService* watches, ChangeHold* change) {
    if (!row) return failure("unknown method " + debug_quote(request.method.value_or("")));
    bool watch_method = row->handler == handle_watch || row->handler == handle_unwatch;
    RequestContext ctx{request.data, body, watch_method ? watches : nullptr,
                       row->changes_files ? change : nullptr};
    try {
        return row->handler(ctx);
    } catch (const std::bad_alloc&) {
        return os_failure(ENOMEM);
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}

}  // namespace

const MethodRow* find_method(std::string_view method) {
    for (const MethodRow& row : kMethods) {
        if (row.name == method) return &row;
    }
    return nullptr;
}

Reply dispatch(const MethodRow* row, const Header& request, Bytes body, WatchService* watches,
               ChangeHold* change) {
    HandlerOutcome outcome = run_handler(row, request, body, watches, change);
    Reply reply;
    reply.header.id = request.id;
    if (auto* ok = std::get_if<SuccessReply>(&outcome)) {
        reply.header.data = std::move(ok->data);
        reply.body = std::move(ok->body);
    } else {
        reply.header.error = std::move(std::get<ErrorReply>(outcome).text);
    }
    return reply;
}

}  // namespace vesk
