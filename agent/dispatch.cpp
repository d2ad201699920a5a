#include "agent/dispatch.h"

#include <array>
#include <cerrno>
#include <exception>
#include <new>

#include "common/text.h"

namespace vesk {
namespace {

constexpr std::array<MethodRow, 13> kMethods{{
    {.name = "git", .handler = handle_git, .to_worker = true},
    {.name = "exec", .handler = handle_exec, .to_worker = true},
    {.name = "hello", .handler = handle_hello, .to_worker = true},
    {.name = "watch",
     .handler = handle_watch,
     .order = PathOrder::watches,
     .to_worker = true,
     .uses_watches = true},
    {.name = "fs.read", .handler = handle_fs_read},
    {.name = "fs.stat", .handler = handle_fs_stat},
    {.name = "unwatch",
     .handler = handle_unwatch,
     .order = PathOrder::watches,
     .uses_watches = true},
    {.name = "fs.write",
     .handler = handle_fs_write,
     .changes_files = true,
     .order = PathOrder::writes},
    {.name = "fs.mkdirp", .handler = handle_fs_mkdirp, .changes_files = true},
    {.name = "fs.remove", .handler = handle_fs_remove, .changes_files = true},
    {.name = "fs.readdir", .handler = handle_fs_readdir},
    {.name = "fs.countlines", .handler = handle_fs_countlines},
    {.name = "fs.canonicalize", .handler = handle_fs_canonicalize},
}};

HandlerOutcome run_handler(const MethodRow* row, const Header& request, Bytes& body,
                           WatchService* watches, ChangeHold* change) {
    if (!row) return failure("unknown method " + debug_quote(request.method.value_or("")));
    RequestContext ctx{request.data, body, row->uses_watches ? watches : nullptr,
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
        reply.text_name = ok->text_name;
        reply.text = std::move(ok->text);
    } else {
        reply.header.error = std::move(std::get<ErrorReply>(outcome).text);
    }
    return reply;
}

}  // namespace vesk
