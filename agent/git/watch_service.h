// WatchService: the watched path texts (byte for byte as sent) and one watcher thread each,
// behind "watch" and "unwatch".
//
// A watcher polls the repository fingerprint and hands a "changed" event to the event sink
// when it moves. The status command, the costly part of the fingerprint, runs only when the
// watcher's ChangeGate says its inputs may have changed, and at least once per full period;
// without a gate, at every poll. It owns
// its state; the run flag is the only thing it shares with the service, and it never takes the
// service's lock, so that lock and the output's are never nested. The lock is held by watch() for
// its whole work (discovery and the first fingerprint), by unwatch() for the removal and by
// stop_all().
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "agent/git/repository.h"
#include "agent/params.h"
#include "common/codec.h"
#include "common/sys.h"

namespace vesk {

// Queues a "changed" event for the watched path text; false when it could not be queued (out
// of memory), so the watcher reports the change again at its next poll.
using EventSink = std::function<bool(const std::string& path)>;

// The "changed" event that tells the controller path's repository changed, as it goes on the wire.
Header changed_event(const std::string& path);

using RunFlag = std::shared_ptr<std::atomic<bool>>;

class WatchService {
  public:
    // start: how watcher threads are started (empty: detached threads).
    explicit WatchService(EventSink sink, ThreadStarter start = {});

    // Starts watching path unless it is watched already. 0, or the errno value of a watcher
    // thread that could not be started (the path is then not watched).
    int watch(const RequestPath& path);
    // Stops the path's watcher, if any.
    void unwatch(const std::string& path);
    // Clears every run flag; entries stay. Called once input has ended.
    void stop_all();

  private:
    EventSink sink_;
    ThreadStarter start_;
    std::mutex mu_;
    std::unordered_map<std::string, RunFlag> entries_;
};

}  // namespace vesk
