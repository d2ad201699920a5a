// The message writer: the only path by which anything reaches the protocol stream.
//
// Thread rules: any thread may hand over a message at any time. Messages leave in the order
// they were handed over; one writer at a time drains the queue with writev, so many small
// replies leave in one system call and no thread ever waits behind another's slow output. A
// message is never split, interleaved with another, or dropped: the queue is an intrusive list
// of messages whose memory was taken before the request ran, so handing one over can neither
// allocate nor fail, and a reply that cannot be encoded leaves as a prepared stand-in reply.
// An output left non-blocking by whoever started the agent is waited on, never cut short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "agent/bytes.h"
#include "common/codec.h"

namespace vesk {

// One message on its way out. Allocated before the request runs, so that its reply always has
// somewhere to go, even when memory has run out by the time the reply is ready.
struct OutMessage {
    std::string head;  // header frame and the body's length prefix
    // A long text member of the header, written in the gap at text_at in head: in a buffer
    // of its own, which can reuse the pages of an earlier large body.
    Bytes text;
    std::size_t text_at = 0;
    Bytes body;
    // A stand-in reply, built in place without allocating, used when head is empty.
    char fallback[128];
    std::size_t fallback_len = 0;
    OutMessage* next = nullptr;
};

class SharedOutput {
  public:
    explicit SharedOutput(int fd);
    SharedOutput(const SharedOutput&) = delete;
    SharedOutput& operator=(const SharedOutput&) = delete;

    // Encodes header and body into msg and queues it. A message too long for 32-bit lengths
    // leaves as "Message too long (os error 90)", one that cannot be encoded for lack of memory
    // as "Cannot allocate memory (os error 12)", both for the same id. Never throws.
    void write(std::unique_ptr<OutMessage> msg, const Header& header, Bytes body) noexcept;
    // The same with a message allocated here; false (nothing queued) when that allocation
    // fails. For events, which have no slot of their own.
    bool write(const Header& header, Bytes body = {}) noexcept;

    // The two halves of write(), for a thread that gathers several replies and hands them
    // over together (one writev for a run of pipelined requests): encode() fills msg as
    // write() would; submit() queues a chain of encoded messages linked through next.
    void encode(OutMessage& msg, const Header& header, Bytes body, DataText extra = {}) noexcept;
    void encode_no_memory(OutMessage& msg, std::uint64_t id) noexcept;
    void submit(OutMessage* first, OutMessage* last) noexcept;

    // Stops all further output once what is queued has been written, so the process can exit
    // without cutting a message in half. Waits while the queue drains; gives up when no
    // progress is made for `stall` (a reader that stopped reading must not hold the exit back
    // for ever). Messages handed over afterwards are dropped.
    bool seal(std::chrono::milliseconds stall);

  private:
    void stand_in(OutMessage& msg, std::uint64_t id, const std::string& error_json) noexcept;
    void drain(std::unique_lock<std::mutex>& lock) noexcept;

    int fd_;
    // The tails of the stand-in replies, `,"error":"..."}`, encoded once at start-up.
    std::string no_memory_tail_;
    std::string too_long_tail_;
    std::mutex mu_;
    std::condition_variable progress_cv_;
    OutMessage* head_ = nullptr;
    OutMessage* tail_ = nullptr;
    bool writing_ = false;
    bool sealed_ = false;
    std::uint64_t progress_ = 0;
};

}  // namespace vesk
