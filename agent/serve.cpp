#include "agent/serve.h"

#include <sched.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "agent/dispatch.h"
#include "agent/git/registry.h"
#include "agent/sys.h"
#include "agent/wire.h"

namespace vesk {

namespace {

// How long the exit waits for a message that is being written when input ends. A reader that
// stopped reading must not keep the process alive for ever.
constexpr std::chrono::seconds kSealTimeout{10};

// Counts running workers, and separately those whose request changes the file system: the
// loop waits for the first when it cannot start a thread, and for the second before exiting.
class WorkerCounts {
  public:
    void started(bool finish_before_exit) {
        std::lock_guard<std::mutex> lock(mu_);
        ++running_;
        if (finish_before_exit) ++must_finish_;
    }
    void ended(bool finish_before_exit) {
        std::lock_guard<std::mutex> lock(mu_);
        --running_;
        if (finish_before_exit) --must_finish_;
        ++ended_total_;
        cv_.notify_all();
    }
    // Takes back a start whose thread never came to be.
    void abandoned(bool finish_before_exit) {
        std::lock_guard<std::mutex> lock(mu_);
        --running_;
        if (finish_before_exit) --must_finish_;
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
    void wait_for_changes() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return must_finish_ == 0; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::size_t running_ = 0;
    std::size_t must_finish_ = 0;
    std::uint64_t ended_total_ = 0;  // read before a start, so an end just after is not missed
};

// Keeps finished worker threads for a while so a burst of requests does not pay for a thread
// creation each. Every request still starts at once on a thread of its own: an idle thread
// takes it if there is one, otherwise a new thread is started. Nothing ever queues.
class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
  public:
    explicit WorkerPool(ThreadStarter start) : start_(std::move(start)) {}

    // 0, or the errno value of a failed thread creation (the job then did not run).
    int run(std::function<void()> job) {
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
            hand_over(*worker, std::move(job));
            return 0;
        }
        auto self = shared_from_this();
        return start_([self, job = std::move(job)]() mutable { self->work(std::move(job)); },
                      kWorkerStackSize);
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

    void hand_over(Idle& worker, std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(worker.mu);
            worker.job = std::move(job);
        }
        worker.cv.notify_one();
    }

    void work(std::function<void()> job) {
        auto self = std::make_shared<Idle>();
        for (;;) {
            job();
            job = nullptr;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (idle_.size() >= kMaxIdle) return;
                idle_.push_back(self);
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
        }
    }

    ThreadStarter start_;
    std::mutex mu_;
    std::vector<std::shared_ptr<Idle>> idle_;
};

struct Request {
    Header header;
    Bytes body;
    std::optional<std::string> refused;  // answered with this error instead of dispatching
};

std::string failure_text(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return os_error_text(ENOMEM);
    return e.what();
}

void run_worker(Request& req, std::shared_ptr<SharedOutput> output,
                std::shared_ptr<WatcherRegistry> registry) {
    std::uint64_t id = req.header.id;
    Header reply;
    try {
        HandlerOutcome outcome = req.refused
                                     ? failure(std::move(*req.refused))
                                     : dispatch(req.header, std::move(req.body), output, registry);
        reply = response_header(id, outcome);
        if (auto* ok = std::get_if<SuccessReply>(&outcome)) {
            write_message(*output, reply, std::move(ok->body));
            return;
        }
    } catch (const std::exception& e) {
        reply = Header{};
        reply.id = id;
        try {
            reply.error = failure_text(e);
        } catch (...) {
            reply.error.reset();
        }
    } catch (...) {
        reply = Header{};
        reply.id = id;
    }
    if (!reply.error && reply.data.is_null()) {
        // Only reachable when building the failure text itself failed.
        static const std::string kNoMemory = os_error_text(ENOMEM);
        reply.error = kNoMemory;
    }
    write_message(*output, reply);
}

enum class ReadOutcome { request, stop };

// Reads one request: header length, header, body length, body. Anything short of a whole,
// well-formed request stops the loop.
ReadOutcome read_request(InputReader& in, Request& req) {
    FrameLen hl = read_frame_len(in);
    if (hl.status != ReadStatus::ok) return ReadOutcome::stop;
    std::string payload;
    payload.resize(hl.len);
    if (in.read_exact(payload.data(), hl.len) != ReadStatus::ok) return ReadOutcome::stop;
    std::optional<Header> header = decode_envelope(payload);
    if (!header) return ReadOutcome::stop;
    std::string().swap(payload);
    req.header = std::move(*header);

    FrameLen bl = read_frame_len(in);
    if (bl.status != ReadStatus::ok) return ReadOutcome::stop;
    if (!req.body.try_reserve(bl.len)) {
        // The stream is still in step: drop the body and answer this one request.
        if (in.discard(bl.len) != ReadStatus::ok) return ReadOutcome::stop;
        req.refused = os_error_text(ENOMEM);
        return ReadOutcome::request;
    }
    req.body.resize_uninitialized(bl.len);
    if (in.read_exact(req.body.data(), bl.len) != ReadStatus::ok) return ReadOutcome::stop;
    return ReadOutcome::request;
}

}  // namespace

ServeEnd serve(const ServeOptions& options) {
    ThreadStarter start = options.start_thread;
    if (!start) {
        start = [](std::function<void()> fn, std::size_t stack) {
            return start_detached_thread(std::move(fn), stack);
        };
    }
    auto output = std::make_shared<SharedOutput>(options.out_fd);
    auto registry = std::make_shared<WatcherRegistry>();
    auto counts = std::make_shared<WorkerCounts>();
    auto pool = std::make_shared<WorkerPool>(std::move(start));
    InputReader in(options.in_fd);
    ServeEnd end = ServeEnd::finished;

    for (;;) {
        std::shared_ptr<Request> req;
        try {
            req = std::make_shared<Request>();
            if (read_request(in, *req) == ReadOutcome::stop) break;
        } catch (const std::bad_alloc&) {
            // A header too large to hold: without it there is no id to answer, and the rest of
            // the frame cannot be skipped safely, so the service ends as for any bad frame.
            break;
        }
        const MethodRow* row =
            req->refused ? nullptr : find_method(req->header.method.value_or(std::string()));
        bool must_finish = row && row->finish_before_exit;

        counts->started(must_finish);
        auto work = [req, output, registry, counts, must_finish] {
            run_worker(*req, output, registry);
            counts->ended(must_finish);
        };
        int rc;
        for (;;) {
            std::uint64_t seen = counts->ended_total();
            if ((rc = pool->run(work)) == 0) break;
            // Out of threads or memory: wait for a worker to end (perhaps one already has since
            // the attempt began) and try again; only when nothing else runs is there nothing
            // left to wait for.
            counts->abandoned(must_finish);
            if (!counts->wait_for_an_end_since(seen)) break;
            counts->started(must_finish);
        }
        if (rc != 0) {
            end = ServeEnd::no_worker_thread;
            break;
        }
    }

    registry->stop_all();
    if (end == ServeEnd::finished) counts->wait_for_changes();
    if (options.seal_output) output->seal(kSealTimeout);
    return end;
}

}  // namespace vesk
