#include "agent/changes.h"

namespace vesk {

void ChangeCount::started(bool stream) {
    std::lock_guard<std::mutex> lock(mu_);
    ++changing_;
    streams_ += stream;
    ++progress_;
}

void ChangeCount::ended(bool stream) {
    std::lock_guard<std::mutex> lock(mu_);
    --changing_;
    streams_ -= stream;
    ++progress_;
    cv_.notify_all();
}

void ChangeCount::streamed(bool first) {
    std::lock_guard<std::mutex> lock(mu_);
    streams_ += first;
    ++progress_;
    cv_.notify_all();
}

void ChangeCount::wait_for_changes(std::chrono::milliseconds stall) {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        if (changing_ == 0) return;
        if (changing_ > streams_) {
            // A change of the file system itself always finishes: wait for it without a bound.
            cv_.wait(lock, [&] { return changing_ == streams_; });
            continue;
        }
        const std::uint64_t seen = progress_;
        if (!cv_.wait_for(lock, stall, [&] { return progress_ != seen || changing_ == 0; })) return;
    }
}

void Hold::let_go() {
    if (!held_) return;
    held_ = false;
    count_.ended(stream_);
}

void Hold::take_back() {
    if (held_) return;
    held_ = true;
    count_.started(stream_);
}

void Hold::streamed() {
    if (held_) count_.streamed(!stream_);
    stream_ = true;
}

std::pair<std::shared_ptr<PathTurns::Turn>, std::shared_ptr<PathTurns::Turn>> PathTurns::take(
    const std::string& path) {
    auto mine = std::make_shared<Turn>();
    std::lock_guard<std::mutex> lock(mu_);
    std::weak_ptr<Turn>& last = last_[path];
    std::shared_ptr<Turn> before = last.lock();
    last = mine;
    return {std::move(before), std::move(mine)};
}

void PathTurns::wait(Turn& before, Hold& hold) {
    std::unique_lock<std::mutex> lock(before.mu);
    if (before.done) return;
    const bool held = hold.held();
    if (held) {
        hold.let_go();
        before.waiter_let_go = true;
    }
    before.cv.wait(lock, [&] { return before.done; });
    if (!held) return;
    if (before.handed_over)
        hold.taken_over();
    else
        hold.take_back();
}

void PathTurns::finish(const std::string& path, Turn& turn,
                       const std::function<void()>& hand_over) {
    {
        std::lock_guard<std::mutex> lock(turn.mu);
        turn.done = true;
        if (turn.waiter_let_go) {
            hand_over();
            turn.handed_over = true;
        }
        turn.cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    auto it = last_.find(path);
    if (it != last_.end() && it->second.lock().get() == &turn) last_.erase(it);
}

}  // namespace vesk
