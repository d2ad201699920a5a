// The method table and what a handler returns.
//
// A handler decodes its params, does its work and returns a HandlerOutcome. It never writes
// output and never lets an exception out (the worker still guards against one).
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "agent/bytes.h"
#include "agent/wire.h"

namespace vesk {

class WatcherRegistry;

struct SuccessReply {
    nlohmann::json data;  // null: the envelope carries no "data"
    Bytes body;
};

struct ErrorReply {
    std::string text;
};

using HandlerOutcome = std::variant<SuccessReply, ErrorReply>;

inline HandlerOutcome success(nlohmann::json data = nullptr, Bytes body = {}) {
    return SuccessReply{std::move(data), std::move(body)};
}
inline HandlerOutcome failure(std::string text) {
    return ErrorReply{std::move(text)};
}

struct RequestContext {
    const nlohmann::json& data;
    Bytes& body;  // the request's body frame; handlers may take it
    std::shared_ptr<SharedOutput> output;
    std::shared_ptr<WatcherRegistry> registry;
};

using Handler = HandlerOutcome (*)(RequestContext&);

struct MethodRow {
    std::string_view name;
    Handler handler;
    // Requests that change the file system are finished, not abandoned, when input ends.
    bool finish_before_exit;
};

// The row whose name equals method exactly, or nullptr.
const MethodRow* find_method(std::string_view method);

// Runs the request's handler, or answers "unknown method \"name\"".
HandlerOutcome dispatch(const Header& request, Bytes body, std::shared_ptr<SharedOutput> output,
                        std::shared_ptr<WatcherRegistry> registry);

// Turns an outcome into the response envelope for request id.
Header response_header(std::uint64_t id, HandlerOutcome& outcome);

// The handlers, one per method; each lives in the file named for its method.
HandlerOutcome handle_hello(RequestContext&);
HandlerOutcome handle_fs_read(RequestContext&);
HandlerOutcome handle_fs_stat(RequestContext&);
HandlerOutcome handle_fs_readdir(RequestContext&);
HandlerOutcome handle_fs_canonicalize(RequestContext&);
HandlerOutcome handle_fs_write(RequestContext&);
HandlerOutcome handle_fs_mkdirp(RequestContext&);
HandlerOutcome handle_fs_remove(RequestContext&);
HandlerOutcome handle_fs_countlines(RequestContext&);
HandlerOutcome handle_exec(RequestContext&);
HandlerOutcome handle_git(RequestContext&);
HandlerOutcome handle_watch(RequestContext&);
HandlerOutcome handle_unwatch(RequestContext&);

}  // namespace vesk
