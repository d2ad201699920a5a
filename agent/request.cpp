#include "agent/request.h"

#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <tuple>
#include <utility>

#include "agent/memory_reserve.h"
#include "agent/params.h"

namespace vesk {
namespace {

// How long a request waits for memory to hold its record and its envelope before the service
// gives up on it and ends as for a bad frame.
constexpr std::chrono::milliseconds kMemoryPatience{10'000};

}  // namespace

// Reads one request: header length, header, body length, body. Anything short of a whole,
// well-formed request stops the loop. Memory for the envelope is waited for: the request has no
// id to be answered with until it is decoded, and giving up would end the service.
ReadOutcome read_request(InputReader& in, Request& req) {
    FrameLen hl = read_frame_len(in);
    if (hl.status != ReadStatus::ok) return ReadOutcome::stop;
    std::optional<Header> header;
    {
        std::string payload;
        if (in.read_payload(payload, hl.len, kMemoryPatience) != ReadStatus::ok)
            return ReadOutcome::stop;
        int attempt = 0;
        std::chrono::milliseconds waited{0};
        for (;;) {
            try {
                header = decode_envelope(payload);
                break;
            } catch (const std::bad_alloc&) {
                if (!back_off(attempt, waited, kMemoryPatience)) return ReadOutcome::stop;
            }
        }
    }
    if (!header) return ReadOutcome::stop;
    req.header = std::move(*header);

    FrameLen bl = read_frame_len(in);
    if (bl.status != ReadStatus::ok) return ReadOutcome::stop;
    ReadStatus body = in.read_payload(req.body, bl.len);
    if (body == ReadStatus::no_memory) {
        // The stream is still in step: the body was dropped, this one request is refused.
        req.refused = ENOMEM;
        return ReadOutcome::request;
    }
    return body == ReadStatus::ok ? ReadOutcome::request : ReadOutcome::stop;
}

// A new request's record, waiting for memory if need be; null when none came in time.
std::shared_ptr<Request> new_request(ChangeCount& changes) {
    int attempt = 0;
    std::chrono::milliseconds waited{0};
    do {
        try {
            return std::make_shared<Request>(changes);
        } catch (const std::bad_alloc&) {
        }
    } while (back_off(attempt, waited, kMemoryPatience));
    return nullptr;
}

// Looks the method up once, holds the exit for a file change and, for requests ordered by
// path, takes the path's turn: on the path text as the handler will decode it, whether the
// record came as an object or an array.
void prepare(Request& req, PathTurns& write_turns, PathTurns& watch_turns) {
    if (req.refused) return;
    req.row = find_method(req.header.method.value_or(std::string()));
    if (!req.row) return;
    if (req.row->changes_files) req.hold.take();
    if (req.row->order == PathOrder::none) return;
    Decoded<PathParams> params = decode_path_params(req.header.data);
    if (!params) return;
    req.turns = req.row->order == PathOrder::writes ? &write_turns : &watch_turns;
    req.turn_path = std::move(params->path.text);
    std::tie(req.turn_before, req.turn) = req.turns->take(req.turn_path);
}

}  // namespace vesk
