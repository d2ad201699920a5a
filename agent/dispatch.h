// The method table and dispatch: the one place a handler's outcome becomes a reply.
#pragma once

#include <cstdint>
#include <string_view>

#include "agent/bytes.h"
#include "agent/handler.h"
#include "common/codec.h"

namespace vesk {

// Which requests to one path text take effect one at a time, in arrival order.
enum class PathOrder {
    none,
    writes,   // saves of one file end as the last one sent
    watches,  // a watch and an unwatch of one path act as sent
};

struct MethodRow {
    std::string_view name;
    Handler handler;
    // Requests that change the file system are finished, not abandoned, when input ends.
    bool changes_files = false;
    PathOrder order = PathOrder::none;
    // Requests that run children, hold the watch registry or probe git start on a worker at
    // once; the rest start on the thread that read them.
    bool to_worker = false;
    // The handler is given the watch service.
    bool uses_watches = false;
};

// The row whose name equals method exactly, or nullptr.
const MethodRow* find_method(std::string_view method);

struct Reply {
    Header header;
    Bytes body;
    // A long text member of data, kept as its bytes (see DataText).
    std::string_view text_name;
    Bytes text;
};

// Runs the row's handler and returns the complete reply to request; a null row answers
// "unknown method \"name\"". A handler that fails unexpectedly (an exception, out of memory) is
// answered with the failure's text. Throws only when even that reply cannot be built.
Reply dispatch(const MethodRow* row, const Header& request, Bytes body,
               WatchService* watches = nullptr, ChangeHold* change = nullptr);

}  // namespace vesk
