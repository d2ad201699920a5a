// WatcherRegistry: the watched path texts (byte for byte as sent) and their run flags.
//
// The lock is held by "watch" for its whole work, by "unwatch" for the removal and by the
// shutdown; never while writing output.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vesk {

using RunFlag = std::shared_ptr<std::atomic<bool>>;

class WatcherRegistry {
  public:
    std::mutex& mutex() { return mu_; }
    // Callers hold mutex().
    std::unordered_map<std::string, RunFlag>& entries() { return entries_; }

    // Clears every run flag; entries stay. Called once input has ended.
    void stop_all() {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [path, flag] : entries_) flag->store(false, std::memory_order_relaxed);
    }

  private:
    std::mutex mu_;
    std::unordered_map<std::string, RunFlag> entries_;
};

}  // namespace vesk
