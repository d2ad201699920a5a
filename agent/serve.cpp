#include "agent/serve.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agent/dispatch.h"
#include "agent/exec/run_command.h"
#include "agent/frame_reader.h"
#include "agent/git/watch_service.h"
#include "agent/message_writer.h"

namespace vesk {

namespace {

// Destructors may allocate: nlohmann's json flattens a nested value onto a heap stack when it is
// destroyed, and an exception out of a destructor ends the process. When memory runs out, the
// new-handler gives this reserve back so such small allocations still succeed; the serve loop
// takes a new reserve as soon as memory allows.
constexpr std::size_t kMemoryReserve = 4u << 20;
std::atomic<void*> memory_reserve{nullptr};

void release_memory_reserve() {
    void* reserve = memory_reserve.exchange(nullptr);
    if (!reserve) throw std::bad_alloc();
    std::free(reserve);
}

void renew_memory_reserve() {
    if (memory_reserve.load(std::memory_order_relaxed)) return;
    void* reserve = std::malloc(kMemoryReserve);
    void* none = nullptr;
    if (reserve && !memory_reserve.compare_exchange_strong(none, reserve)) std::free(reserve);
}

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
            mine.unlock();  // the job runs without its mailbox's lock
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

// A request runs on the thread that read it for as long as it takes up to this bound; past it,
// the monitor hands the reading role to another thread, so no request waits behind it.
constexpr std::int64_t kInlineBoundNanos = 100'000;
constexpr auto kMonitorTick = std::chrono::microseconds(100);
// Ticks without an inline request before the monitor sleeps until the next one.
constexpr int kQuietTicksBeforePark = 100;
// At most this many gathered replies are held before they are handed over together.
constexpr std::size_t kMaxGathered = 64;
// The reading role's ticket once the monitor's replacement has taken it.
constexpr std::uint64_t kRoleTaken = ~std::uint64_t{0};

std::int64_t now_nanos() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// What every thread of the service shares.
struct Service {
    Service(const ServeOptions& options, ThreadStarter start)
        : output(std::make_shared<SharedOutput>(options.out_fd)),
          watches([out = output](const std::string& path) {
              Header h;
              h.method = "changed";
              h.data = nlohmann::json::object({{"path", path}});
              return out->write(h);
          }),
          pool(std::make_shared<WorkerPool>(std::move(start))),
          in(options.in_fd),
          find_method(options.find_method ? options.find_method : vesk::find_method),
          seal_output(options.seal_output) {}

    std::shared_ptr<SharedOutput> output;
    WatchService watches;
    WorkerCounts counts;
    PathTurns turns;
    std::shared_ptr<WorkerPool> pool;

    // The reading role: the input, the replies gathered from inline requests and the ticket
    // counter belong to whichever thread holds it. The role passes on through inline_ticket,
    // whose atomic operations order one holder's work before the next one's.
    InputReader in;
    OutMessage* gathered_first = nullptr;
    OutMessage* gathered_last = nullptr;
    std::size_t gathered = 0;
    std::uint64_t last_ticket = 0;

    // The inline request now running (its ticket, when it started), 0 when none.
    std::atomic<std::uint64_t> inline_ticket{0};
    std::atomic<std::int64_t> inline_since{0};
    bool inline_enabled = false;

    std::mutex monitor_mu;
    std::condition_variable monitor_cv;
    std::atomic<bool> monitor_parked{false};
    std::atomic<bool> stopping{false};

    const MethodLookup find_method;
    const bool seal_output;
    std::mutex end_mu;
    std::condition_variable end_cv;
    bool ended = false;

    void gather(std::unique_ptr<OutMessage> msg) {
        OutMessage* m = msg.release();
        m->next = nullptr;
        (gathered_last ? gathered_last->next : gathered_first) = m;
        gathered_last = m;
        ++gathered;
    }
};

// Runs one request and encodes its reply into its slot: exactly one reply, whatever fails.
void run_request(Request& req, Service& s) noexcept {
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
        s.output->encode(*req.reply, reply.header, std::move(reply.body));
    } catch (...) {
        finish();
        s.output->encode_no_memory(*req.reply, req.header.id);
    }
}

void reply_now(Request& req, Service& s) {
    OutMessage* m = req.reply.release();
    s.output->submit(m, m);
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
void prepare(Request& req, PathTurns& turns, MethodLookup find_method) {
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
void start_worker(std::shared_ptr<Request> req, const std::shared_ptr<Service>& s) {
    s->counts.started();
    std::function<void()> job;
    int rc = ENOMEM;
    for (;;) {
        std::uint64_t seen = s->counts.ended_total();
        try {
            if (!job) {
                job = [req, s] {
                    run_request(*req, *s);
                    reply_now(*req, *s);
                    s->counts.ended();
                };
            }
            rc = s->pool->run(job);
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
    run_request(*req, *s);
    reply_now(*req, *s);
}

void shut_down(Service& s) {
    s.stopping.store(true);
    {
        std::lock_guard<std::mutex> lock(s.monitor_mu);
        s.monitor_cv.notify_all();
    }
    s.watches.stop_all();
    hang_up_children();
    s.counts.wait_for_changes();
    if (s.seal_output) s.output->seal(kSealTimeout);
    std::lock_guard<std::mutex> lock(s.end_mu);
    s.ended = true;
    s.end_cv.notify_all();
}

enum class RoleEnd { lost, input_ended };

// The reading role. Requests that may run long or hold shared state (children, the watch
// registry, the git probe) go to a worker at once; the rest run here, and their replies are
// gathered while further whole requests are already buffered.
RoleEnd read_requests(const std::shared_ptr<Service>& s) {
    Service& sv = *s;
    // Runs step as inline work, watched by the monitor; false when the monitor gave the reading
    // role to another thread meanwhile.
    auto watched = [&sv](auto&& step) {
        const std::uint64_t ticket = ++sv.last_ticket;
        sv.inline_since.store(now_nanos(), std::memory_order_relaxed);
        sv.inline_ticket.store(ticket);
        if (sv.monitor_parked.load()) {
            std::lock_guard<std::mutex> lock(sv.monitor_mu);
            sv.monitor_cv.notify_one();
        }
        step();
        std::uint64_t expected = ticket;
        return sv.inline_ticket.compare_exchange_strong(expected, 0);
    };
    // Hands the gathered replies to the writer. This thread may end up writing them, and the
    // output may be full, so it is watched like a request.
    auto hand_over_gathered = [&] {
        OutMessage* first = std::exchange(sv.gathered_first, nullptr);
        OutMessage* last = std::exchange(sv.gathered_last, nullptr);
        sv.gathered = 0;
        return !first || watched([&] { sv.output->submit(first, last); });
    };
    for (;;) {
        // A reply is never held back while the agent waits for input.
        if (sv.gathered >= kMaxGathered || !sv.in.holds_request()) {
            if (!hand_over_gathered()) return RoleEnd::lost;
        }
        renew_memory_reserve();
        std::shared_ptr<Request> req;
        try {
            req = std::make_shared<Request>(sv.counts);
            if (read_request(sv.in, *req) == ReadOutcome::stop) break;
        } catch (const std::bad_alloc&) {
            // Without memory for the request itself, or with the stream left somewhere inside
            // a frame, there is nothing left to answer: the service ends as for a bad frame.
            break;
        }
        try {
            prepare(*req, sv.turns, sv.find_method);
        } catch (const std::bad_alloc&) {
            req->refused = ENOMEM;
        }
        if (!sv.inline_enabled || (req->row && req->row->to_worker && !req->refused)) {
            start_worker(std::move(req), s);
            continue;
        }
        if (!watched([&] { run_request(*req, sv); })) {
            reply_now(*req, sv);
            return RoleEnd::lost;
        }
        sv.gather(std::move(req->reply));
    }
    return hand_over_gathered() ? RoleEnd::input_ended : RoleEnd::lost;
}

void hold_reading_role(const std::shared_ptr<Service>& s) {
    if (read_requests(s) == RoleEnd::input_ended) shut_down(*s);
}

// Started by the monitor for an inline request that ran past the bound: takes the reading role
// unless the request has finished meanwhile.
void take_reading_role(const std::shared_ptr<Service>& s, std::uint64_t ticket) {
    if (!s->inline_ticket.compare_exchange_strong(ticket, kRoleTaken)) return;
    hold_reading_role(s);
}

// Watches the inline request of the moment; ticks only while requests run inline, sleeps when
// none has for a while.
void run_monitor(const std::shared_ptr<Service>& s) {
    std::uint64_t handed = 0;
    int quiet = 0;
    while (!s->stopping.load()) {
        const std::uint64_t ticket = s->inline_ticket.load();
        if (ticket == 0 || ticket == kRoleTaken) {
            if (++quiet >= kQuietTicksBeforePark) {
                quiet = 0;
                std::unique_lock<std::mutex> lock(s->monitor_mu);
                s->monitor_parked.store(true);
                s->monitor_cv.wait(lock, [&] {
                    std::uint64_t t = s->inline_ticket.load();
                    return s->stopping.load() || (t != 0 && t != kRoleTaken);
                });
                s->monitor_parked.store(false);
                continue;
            }
        } else {
            quiet = 0;
            const std::int64_t since = s->inline_since.load(std::memory_order_relaxed);
            if (ticket != handed && now_nanos() - since >= kInlineBoundNanos) {
                try {
                    std::function<void()> job = [s, ticket] { take_reading_role(s, ticket); };
                    // Without a thread now, the next tick tries again.
                    if (s->pool->run(job) == 0) handed = ticket;
                } catch (const std::bad_alloc&) {
                }
            }
        }
        std::this_thread::sleep_for(kMonitorTick);
    }
}

}  // namespace

void serve(const ServeOptions& options) {
    ThreadStarter start = options.start_thread;
    if (!start) start = start_detached_thread;
    std::set_new_handler(release_memory_reserve);
    auto service = std::make_shared<Service>(options, std::move(start));
    // Without a monitor nothing could take the reading role from a request that blocks, so
    // every request then goes to a worker.
    service->inline_enabled =
        start_detached_thread([service] { run_monitor(service); }, 256 * 1024) == 0;

    // The calling thread only waits for the end: the thread holding the reading role may be
    // left blocked inside an inline request (a named pipe that never opens), and the process
    // must still be able to finish.
    if (!service->inline_enabled ||
        start_detached_thread([service] { hold_reading_role(service); }, kWorkerStackSize) != 0) {
        service->inline_enabled = false;
        hold_reading_role(service);
    }
    std::unique_lock<std::mutex> lock(service->end_mu);
    service->end_cv.wait(lock, [&] { return service->ended; });
}

}  // namespace vesk
