// The handler contract: what a method handler receives and what it returns.
//
// A handler decodes its params, does its work and returns a HandlerOutcome. It never writes
// output, never keeps state between requests and never lets an exception out (dispatch still
// guards against one). This is the only agent header from above them that handlers include:
// the serve loop, the dispatch table and the message writer are out of their reach.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <variant>

#include "agent/bytes.h"
#include "common/sys.h"

namespace vesk {

class WatchService;

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
// The reply for a failed system call: its error text, no data, no body.
inline HandlerOutcome os_failure(int err) {
    return failure(os_error_text(err));
}

struct RequestContext {
    const nlohmann::json& data;
    Bytes& body;  // the request's body frame; handlers may take it
    // The watched-repository service, for "watch" and "unwatch" only; null for the rest.
    WatchService* watches = nullptr;
    // For "fs.write": called once the file is open, the moment the request starts changing
    // something. From then on, end of input waits for it to finish; a request still blocked
    // before that (opening a named pipe without a reader) is not waited for.
    const std::function<void()>& begin_change;
};

using Handler = HandlerOutcome (*)(RequestContext&);

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
