// File-change bookkeeping: the count of changes in flight that end of input waits for, each
// request's claim on it, and the per-path turns that apply writes to one path in arrival order.
//
// Thread rules: ChangeCount and PathTurns are shared by every thread of the service and lock
// internally; a Hold belongs to its request and is used by one thread at a time (the one
// running the request, or the one finishing the turn before it, see PathTurns::finish).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "agent/handler.h"

namespace vesk {

class ChangeCount {
  public:
    void started(bool stream);
    void ended(bool stream);
    // A change became a stream (first) or wrote another piece into one.
    void streamed(bool first);
    // Returns once no change is in flight, or once only streams are and none has made progress
    // for `stall`: a reader that never drains a pipe must not hold the exit for ever.
    void wait_for_changes(std::chrono::milliseconds stall);

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::size_t changing_ = 0;
    std::size_t streams_ = 0;  // those of changing_ that write into a stream
    std::uint64_t progress_ = 0;
};

// A file-changing request's claim on the exit: held from the moment the request is read, so
// end of input waits for it, and let go while it waits for something that may never come.
class Hold final : public ChangeHold {
  public:
    explicit Hold(ChangeCount& count) : count_(count) {}
    void take() { take_back(); }
    bool held() const { return held_; }
    void let_go() override;
    void take_back() override;
    void streamed() override;
    // Another thread counted it already (see PathTurns::finish).
    void taken_over() { held_ = true; }

  private:
    ChangeCount& count_;
    bool held_ = false;
    bool stream_ = false;
};

// Requests to one path text take effect one at a time in arrival order, so pipelined saves of a
// file end as the last one sent, and a watch and an unwatch of a path as sent. Each request
// takes a turn when it is read and waits, on its worker, for the turn before it; requests for
// other paths are not held up.
class PathTurns {
  public:
    struct Turn {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        bool waiter_let_go = false;  // the next request let go of its change while waiting
        bool handed_over = false;    // ... and this one took it back on its behalf
    };

    // The new turn for path and the one it must wait for (null when none is pending).
    std::pair<std::shared_ptr<Turn>, std::shared_ptr<Turn>> take(const std::string& path);

    // Waits for the turn before. A waiting change holds no claim on the exit meanwhile (the
    // write before may be blocked on a named pipe for ever), and gets it back from that turn as
    // it ends.
    static void wait(Turn& before, Hold& hold);

    // Ends a turn. A change waiting for it is counted as changing (hand_over) before this one
    // stops being, so end of input never sees a moment with neither. The path's entry goes once
    // its last turn is over.
    void finish(const std::string& path, Turn& turn, const std::function<void()>& hand_over);

  private:
    std::mutex mu_;
    std::unordered_map<std::string, std::weak_ptr<Turn>> last_;
};

}  // namespace vesk
