// One request on its way through the service: read whole from the input, prepared (its
// method's row, its claim on the exit, its path's turn), then run and answered by the serve
// loop. A Request belongs to the one thread that runs it.
#pragma once

#include <memory>
#include <string>

#include "agent/bytes.h"
#include "agent/changes.h"
#include "agent/dispatch.h"
#include "agent/frame_reader.h"
#include "agent/message_writer.h"
#include "common/codec.h"

namespace vesk {

struct Request {
    explicit Request(ChangeCount& changes) : hold(changes) {}
    Header header;
    Bytes body;
    const MethodRow* row = nullptr;
    int refused = 0;  // an errno value: answered with its text instead of being run
    std::unique_ptr<OutMessage> reply = std::make_unique<OutMessage>();
    PathTurns* turns = nullptr;
    std::string turn_path;
    std::shared_ptr<PathTurns::Turn> turn_before;
    std::shared_ptr<PathTurns::Turn> turn;
    Hold hold;
};

enum class ReadOutcome { request, stop };

// Reads one request: header length, header, body length, body. stop when the input ended or can
// no longer be trusted. A body that cannot be held is dropped and the request refused with
// ENOMEM; memory for the envelope is waited for.
ReadOutcome read_request(InputReader& in, Request& req);

// A new request's record, waiting for memory if need be; null when none came in time.
std::shared_ptr<Request> new_request(ChangeCount& changes);

// Looks the method up once, holds the exit for a file change and, for requests ordered by
// path, takes the path's turn.
void prepare(Request& req, PathTurns& write_turns, PathTurns& watch_turns);

}  // namespace vesk
