// The handler contract: what a method handler receives and what it returns.
//
// A handler decodes its params, does its work and returns a HandlerOutcome. It never writes
// output, never keeps state between requests and never lets an exception out (dispatch still
// guards against one). This is the only agent header from above them that handlers include:
// the serve loop, the dispatch table and the message writer are out of their reach.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <variant>

#include "agent/bytes.h"
#include "common/sys.h"

namespace vesk {

class WatchService;

struct SuccessReply {
    nlohmann::json data;  // null: the envelope carries no "data"
    Bytes body;
    // A long text member of data kept as its bytes (written as UTF-8, U+FFFD for what is not)
    // and written after data's own members, so its name must sort after theirs. Empty name:
    // none.
    std::string_view text_name;
    Bytes text;
};

struct ErrorReply {
    std::string text;
};

using HandlerOutcome = std::variant<SuccessReply, ErrorReply>;

inline HandlerOutcome success(nlohmann::json data = nullptr, Bytes body = {}) {
    return SuccessReply{std::move(data), std::move(body), {}, {}};
}
inline HandlerOutcome failure(std::string text) {
    return ErrorReply{std::move(text)};
}
// The reply for a failed system call: its error text, no data, no body.
inline HandlerOutcome os_failure(int err) {
    return failure(os_error_text(err));
}

// End of input waits for a file-changing request while it holds its change. A handler lets go
// while it waits for something that may never come (a named pipe's reader): it has changed
// nothing yet, and must not keep the process alive meanwhile.
class ChangeHold {
  public:
    virtual void let_go() = 0;
    virtual void take_back() = 0;
    // A change that writes into a stream (a pipe, a socket, a device) rather than a file says
    // so after each piece it wrote: its reader may never drain it, so the exit then waits for
    // it only while it makes progress, as for output.
    virtual void streamed() = 0;

  protected:
    ~ChangeHold() = default;
};

struct RequestContext {
    const nlohmann::json& data;
    Bytes& body;  // the request's body frame; handlers may take it
    // The watched-repository service, for "watch" and "unwatch" only; null for the rest.
    WatchService* watches = nullptr;
    // For the methods that change the file system: the hold that makes end of input wait for
    // this request; null for the rest.
    ChangeHold* change = nullptr;
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
