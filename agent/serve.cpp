#include "agent/serve.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "agent/dispatch.h"
#include "agent/exec/run_command.h"
#include "agent/frame_reader.h"
#include "agent/git/watch_service.h"
#include "agent/message_writer.h"

namespace vesk {

namespace {

// How long the exit waits for output that makes no progress when input ends. A reader that
// stopped reading must not keep the process alive for ever.
constexpr std::chrono::seconds kSealTimeout{10};

// Counts running workers, and separately the requests that are changing the file system: the
// loop waits for an end of the first when it cannot start a thread, and for the second to
// reach zero before exiting.
class WorkerCounts {
  public:
    void started() {
        std::lock_guard<std::mutex> lock(mu_);
        ++running_;
    }
    void ended() {
        std::lock_guard<std::mutex> lock(mu_);
        --running_;
        ++ended_total_;
        cv_.notify_all();
    }
    // Takes back a start whose thread never came to be.
    void abandoned() {
        std::lock_guard<std::mutex> lock(mu_);
        --running_;
        cv_.notify_all();
    }
    std::uint64_t ended_total() {
        std::lock_guard<std::mutex> lock(mu_);
        return ended_total_;
    }
    // Waits until some worker has ended since `seen` was read. False when none has and none
    // is running, so none ever will.
    bool wait_for_an_end_since(std::uint64_t seen) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return ended_total_ != seen || running_ == 0; });
        return ended_total_ != seen;
    }
    void change_started() {
        std::lock_guard<std::mutex> lock(mu_);
        ++changing_;
    }
    void change_ended() {
        std::lock_guard<std::mutex> lock(mu_);
        --changing_;
        cv_.notify_all();
    }
    void wait_for_changes() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return changing_ == 0; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::size_t running_ = 0;
    std::size_t changing_ = 0;
    std::uint64_t ended_total_ = 0;  // read before a start, so an end just after is not missed
};

// A file-changing request's claim on the exit: held from the moment the request is read, so
// end of input waits for it, and let go while it waits for something that may never come.
class Hold final : public ChangeHold {
  public:
    explicit Hold(WorkerCounts& counts) : counts_(counts) {}
    void take() { take_back(); }
    void let_go() override {
        if (!held_) return;
        held_ = false;
        counts_.change_ended();
    }
    void take_back() override {
        if (held_) return;
        held_ = true;
        counts_.change_started();
    }
    // Another thread counted it already (see PathTurns::finish).
    void taken_over() { held_ = true; }

  private:
    WorkerCounts& counts_;
    bool held_ = false;
};

// Writes to one path are applied one at a time in arrival order, so pipelined saves of a file
// end as the last one sent. Each write takes a turn when it is read and waits, on its worker,
// for the turn before it; writes to other paths are not held up.
class PathTurns {
  public:
    struct Turn {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        bool waiter_let_go = false;  // the next write let go of its change while waiting
        bool handed_over = false;    // ... and this one took it back on its behalf
    };

    // The new turn for path and the one it must wait for (null when none is pending).
    std::pair<std::shared_ptr<Turn>, std::shared_ptr<Turn>> take(const std::string& path) {
        auto mine = std::make_shared<Turn>();
        std::lock_guard<std::mutex> lock(mu_);
        std::weak_ptr<Turn>& last = last_[path];
        std::shared_ptr<Turn> before = last.lock();
        last = mine;
        return {std::move(before), std::move(mine)};
    }

    // Waits for the turn before; the waiting write holds no change meanwhile (the write before
    // may be blocked on a named pipe for ever), and gets it back from that write as it ends.
    static void wait(Turn& before, Hold& hold) {
        std::unique_lock<std::mutex> lock(before.mu);
        if (before.done) return;
        hold.let_go();
        before.waiter_let_go = true;
        before.cv.wait(lock, [&] { return before.done; });
        if (before.handed_over)
            hold.taken_over();
        else
            hold.take_back();
    }

    // Ends a turn. A write waiting for it is counted as changing before this one stops being,
    // so end of input never sees a moment with neither. The path's entry goes once its last
    // turn is over.
    void finish(const std::string& path, Turn& turn, const std::function<void()>& hand_over) {
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

  private:
    std::mutex mu_;
    std::unordered_map<std::string, std::weak_ptr<Turn>> last_;
};

// Keeps finished worker threads for a while so a burst of requests does not pay for a thread
// creation each. Every request still starts at once on a thread of its own: an idle thread
// takes it if there is one, otherwise a new thread is started. Nothing ever queues.
class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
  public:
    explicit WorkerPool(ThreadStarter start) : start_(std::move(start)) {}

    // 0 once the job has been handed to a thread, or the errno value of a failed thread
    // creation; the job is then still the caller's, to retry.
    int run(std::function<void()>& job) {
        std::shared_ptr<Idle> worker = take_idle();
        if (!worker) {
            // Workers that were handed jobs may be runnable but not yet running, typically
            // when the agent shares one CPU: without a chance to finish, a burst of pipelined
            // requests starts a new thread for nearly every request. One yield lets them
            // return to the pool first; it returns at once when nothing else wants this CPU.
            ::sched_yield();
            worker = take_idle();
        }
        if (worker) {
            hand_over(*worker, job);
            return 0;
        }
        std::shared_ptr<std::function<void()>> held;
        int rc = ENOMEM;
        try {
            held = std::make_shared<std::function<void()>>(std::move(job));
            auto self = shared_from_this();
            rc = start_([self, held] { self->work(std::move(*held)); }, kWorkerStackSize);
        } catch (const std::bad_alloc&) {
        }
        if (rc != 0 && held) job = std::move(*held);
        return rc;
    }

  private:
    static constexpr std::size_t kMaxIdle = 16;
    static constexpr std::chrono::seconds kIdleTimeout{10};

    // An idle worker's mailbox, with a lock of its own so that handing over a job never wakes
    // the worker into the pool lock. Shared, because run() may still be signalling it when the
    // worker has already taken the job and moved on.
    struct Idle {
        std::mutex mu;
        std::condition_variable cv;
        std::function<void()> job;
    };

    std::shared_ptr<Idle> take_idle() {
        std::lock_guard<std::mutex> lock(mu_);
        if (idle_.empty()) return nullptr;
        auto w = std::move(idle_.back());
        idle_.pop_back();
        return w;
    }

    void hand_over(Idle& worker, std::function<void()>& job) {
        {
            std::lock_guard<std::mutex> lock(worker.mu);
            worker.job = std::move(job);
        }
        worker.cv.notify_one();
    }

    // Nothing may escape a thread: the job never throws, and when the pool itself runs out of
    // memory the thread just ends after its job.
    void work(std::function<void()> job) noexcept {
        job();
        job = nullptr;
        std::shared_ptr<Idle> self;
        try {
            self = std::make_shared<Idle>();
        } catch (...) {
            return;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (idle_.size() >= kMaxIdle) return;
                try {
                    idle_.push_back(self);
                } catch (...) {
                    return;
                }
            }
            std::unique_lock<std::mutex> mine(self->mu);
            if (!self->cv.wait_for(mine, kIdleTimeout, [&] { return bool(self->job); })) {
                mine.unlock();
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    auto it = std::find(idle_.begin(), idle_.end(), self);
                    if (it != idle_.end()) {
                        idle_.erase(it);
                        return;
                    }
                }
                // Taken by run() just as the wait ended: the job is on its way.
                mine.lock();
                self->cv.wait(mine, [&] { return bool(self->job); });
            }
            job = std::move(self->job);
            self->job = nullptr;
            job();
            job = nullptr;
        }
    }

    ThreadStarter start_;
    std::mutex mu_;
    std::vector<std::shared_ptr<Idle>> idle_;
};

struct Request {
    explicit Request(WorkerCounts& counts) : hold(counts) {}
    Header header;
    Bytes body;
    const MethodRow* row = nullptr;
    int refused = 0;  // an errno value: answered with its text instead of being run
    std::unique_ptr<OutMessage> reply = std::make_unique<OutMessage>();
    std::string turn_path;
    std::shared_ptr<PathTurns::Turn> turn_before;
    std::shared_ptr<PathTurns::Turn> turn;
    Hold hold;
};

// What every worker shares with the loop.
struct Service {
    explicit Service(int out_fd)
        : output(std::make_shared<SharedOutput>(out_fd)),
          watches([out = output](const std::string& path) {
              Header h;
              h.method = "changed";
              h.data = nlohmann::json::object({{"path", path}});
              return out->write(h);
          }) {}
    std::shared_ptr<SharedOutput> output;
    WatchService watches;
    WorkerCounts counts;
    PathTurns turns;
};

// Runs one request and writes its reply: exactly one, whatever fails on the way.
void serve_request(Request& req, Service& s) noexcept {
    // A refused request changes nothing, so it need not wait for its turn.
    if (req.turn_before && !req.refused) PathTurns::wait(*req.turn_before, req.hold);
    auto finish = [&] {
        if (req.turn) s.turns.finish(req.turn_path, *req.turn, [&] { s.counts.change_started(); });
        req.hold.let_go();
    };
    try {
        Reply reply;
        if (req.refused) {
            reply.header.id = req.header.id;
            reply.header.error = os_error_text(req.refused);
        } else {
            reply = dispatch(req.row, req.header, std::move(req.body), &s.watches, &req.hold);
        }
        // The change is over before its reply is written: a reader that stopped reading must
        // not keep the exit waiting for a change that has long finished.
        finish();
        s.output->write(std::move(req.reply), reply.header, std::move(reply.body));
    } catch (...) {
        finish();
        s.output->write_no_memory(std::move(req.reply), req.header.id);
    }
}

enum class ReadOutcome { request, stop };

// Reads one request: header length, header, body length, body. Anything short of a whole,
// well-formed request stops the loop.
ReadOutcome read_request(InputReader& in, Request& req) {
    FrameLen hl = read_frame_len(in);
    if (hl.status != ReadStatus::ok) return ReadOutcome::stop;
    std::optional<Header> header;
    {
        std::string payload;
        // A header too large to hold leaves no id to answer, and the service ends as for any
        // bad frame.
        if (in.read_payload(payload, hl.len) != ReadStatus::ok) return ReadOutcome::stop;
        header = decode_envelope(payload);
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

// Looks the method up once, holds the exit for a file change and, for a write, takes the
// path's turn.
void prepare(Request& req, PathTurns& turns) {
    if (req.refused) return;
    req.row = find_method(req.header.method.value_or(std::string()));
    if (req.row && req.row->changes_files) req.hold.take();
    if (!req.row || !req.row->ordered_by_path || !req.header.data.is_object()) return;
    auto path = req.header.data.find("path");
    if (path == req.header.data.end() || !path->is_string()) return;
    req.turn_path = path->get<std::string>();
    std::tie(req.turn_before, req.turn) = turns.take(req.turn_path);
}

// Hands the request to a worker. When no thread can be had, waits for running workers to end
// and retries; when none runs, the request is answered with the system's error text on this
// thread: the service never ends for want of a thread.
void start_worker(std::shared_ptr<Request> req, const std::shared_ptr<Service>& s,
                  WorkerPool& pool) {
    s->counts.started();
    std::function<void()> job;
    int rc = ENOMEM;
    for (;;) {
        std::uint64_t seen = s->counts.ended_total();
        try {
            if (!job) {
                job = [req, s] {
                    serve_request(*req, *s);
                    s->counts.ended();
                };
            }
            rc = pool.run(job);
        } catch (const std::bad_alloc&) {
            rc = ENOMEM;
        }
        if (rc == 0) return;
        s->counts.abandoned();
        if (!s->counts.wait_for_an_end_since(seen)) break;
        s->counts.started();
    }
    req->refused = rc;
    req->row = nullptr;
    serve_request(*req, *s);
}

}  // namespace

void serve(const ServeOptions& options) {
    ThreadStarter start = options.start_thread;
    if (!start) start = start_detached_thread;
    auto service = std::make_shared<Service>(options.out_fd);
    auto pool = std::make_shared<WorkerPool>(std::move(start));
    InputReader in(options.in_fd);

    for (;;) {
        std::shared_ptr<Request> req;
        try {
            req = std::make_shared<Request>(service->counts);
            if (read_request(in, *req) == ReadOutcome::stop) break;
        } catch (const std::bad_alloc&) {
            // Without memory for the request itself, or with the stream left somewhere inside
            // a frame, there is nothing left to answer: the service ends as for a bad frame.
            break;
        }
        try {
            prepare(*req, service->turns);
        } catch (const std::bad_alloc&) {
            req->refused = ENOMEM;
        }
        start_worker(std::move(req), service, *pool);
    }

    service->watches.stop_all();
    hang_up_children();
    service->counts.wait_for_changes();
    if (options.seal_output) service->output->seal(kSealTimeout);
}

}  // namespace vesk
