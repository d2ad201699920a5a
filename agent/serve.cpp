#include "agent/serve.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "agent/changes.h"
#include "agent/dispatch.h"
#include "agent/git/watch_service.h"
#include "agent/memory_reserve.h"
#include "agent/message_writer.h"
#include "agent/request.h"
#include "agent/worker_pool.h"

namespace vesk {

namespace {

// How long the exit waits for output, or a change into a stream, that makes no progress when
// input ends. A reader that stopped reading must not keep the process alive for ever.
constexpr std::chrono::seconds kStallTimeout{10};
// How long a request waits for a thread to run it before it is answered with the system's error
// text.
constexpr std::chrono::milliseconds kThreadPatience{5'000};

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
          watches(
              [out = output](const std::string& path) { return out->write(changed_event(path)); }),
          pool(std::make_shared<WorkerPool>(std::move(start))),
          in(options.in_fd),
          hang_up_children(options.hang_up_children),
          seal_output(options.seal_output) {}

    std::shared_ptr<SharedOutput> output;
    WatchService watches;
    ChangeCount changes;
    PathTurns write_turns;
    PathTurns watch_turns;
    std::shared_ptr<WorkerPool> pool;

    // The reading role: the input and the ticket counter belong to whichever thread holds it.
    // The role passes on through inline_ticket, whose atomic operations order one holder's work
    // before the next one's.
    InputReader in;
    std::uint64_t last_ticket = 0;

    // Replies of inline requests, gathered while further whole requests are already buffered.
    // The reading role adds to them; the monitor may hand them over when the role is stuck and
    // cannot be passed on, so a finished reply never waits behind a blocked request.
    std::mutex gathered_mu;
    OutMessage* gathered_first = nullptr;
    OutMessage* gathered_last = nullptr;
    std::atomic<std::size_t> gathered{0};

    // The inline request now running (its ticket, when it started), 0 when none.
    std::atomic<std::uint64_t> inline_ticket{0};
    std::atomic<std::int64_t> inline_since{0};
    bool inline_enabled = false;

    std::mutex monitor_mu;
    std::condition_variable monitor_cv;
    std::atomic<bool> monitor_parked{false};
    std::atomic<bool> stopping{false};

    const std::function<void()> hang_up_children;
    const bool seal_output;
    std::mutex end_mu;
    std::condition_variable end_cv;
    bool ended = false;

    void gather(std::unique_ptr<OutMessage> msg) {
        OutMessage* m = msg.release();
        m->next = nullptr;
        std::lock_guard<std::mutex> lock(gathered_mu);
        (gathered_last ? gathered_last->next : gathered_first) = m;
        gathered_last = m;
        gathered.fetch_add(1, std::memory_order_relaxed);
    }

    // Hands the gathered replies to the writer; the calling thread may end up writing them.
    void submit_gathered() {
        OutMessage* first;
        OutMessage* last;
        {
            std::lock_guard<std::mutex> lock(gathered_mu);
            first = std::exchange(gathered_first, nullptr);
            last = std::exchange(gathered_last, nullptr);
            gathered.store(0, std::memory_order_relaxed);
        }
        if (first) output->submit(first, last);
    }

    void wake_monitor() {
        if (!monitor_parked.load()) return;
        std::lock_guard<std::mutex> lock(monitor_mu);
        monitor_cv.notify_one();
    }
};

// Runs one request and encodes its reply into its slot: exactly one reply, whatever fails.
void run_request(Request& req, Service& s) noexcept {
    // A refused request changes nothing, so it need not wait for its turn.
    if (req.turn_before && !req.refused) PathTurns::wait(*req.turn_before, req.hold);
    auto finish = [&] {
        if (req.turn)
            req.turns->finish(req.turn_path, *req.turn, [&] { s.changes.started(false); });
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
        s.output->encode(*req.reply, reply.header, std::move(reply.body),
                         {reply.text_name, reply.text.view()});
    } catch (...) {
        finish();
        s.output->encode_no_memory(*req.reply, req.header.id);
    }
}

void reply_now(Request& req, Service& s) {
    OutMessage* m = req.reply.release();
    s.output->submit(m, m);
}

void refuse(Request& req, Service& s, int err) {
    req.refused = err;
    req.row = nullptr;
    run_request(req, s);
    reply_now(req, s);
}

// What a worker does with a request: runs it and hands its reply over.
std::function<void()> worker_job(const std::shared_ptr<Request>& req,
                                 const std::shared_ptr<Service>& s) {
    return [req, s] {
        run_request(*req, *s);
        reply_now(*req, *s);
        renew_memory_reserve();
    };
}

// Hands the request to a worker; false (rc set) when no thread could be had.
bool try_start(const std::shared_ptr<Request>& req, const std::shared_ptr<Service>& s, int& rc) {
    try {
        std::function<void()> job = worker_job(req, s);
        rc = s->pool->run(job);
    } catch (const std::bad_alloc&) {
        rc = ENOMEM;
    }
    return rc == 0;
}

// Starts a worker for the request. When no thread can be had, the monitor tries again with a
// short back-off while this thread goes on reading; without a monitor, this thread tries for a
// while itself. A request that never gets a thread is answered with the system's error text.
void start_worker(std::shared_ptr<Request> req, const std::shared_ptr<Service>& s) {
    int rc = 0;
    if (try_start(req, s, rc)) return;
    if (s->inline_enabled) {
        try {
            if (s->pool->defer(
                    worker_job(req, s), [req, s](int err) { refuse(*req, *s, err); },
                    kThreadPatience)) {
                s->wake_monitor();
                return;
            }
        } catch (const std::bad_alloc&) {
        }
        refuse(*req, *s, ENOMEM);
        return;
    }
    int attempt = 0;
    std::chrono::milliseconds waited{0};
    while (back_off(attempt, waited, kThreadPatience)) {
        if (try_start(req, s, rc)) return;
    }
    refuse(*req, *s, rc);
}

void shut_down(Service& s) {
    s.stopping.store(true);
    {
        std::lock_guard<std::mutex> lock(s.monitor_mu);
        s.monitor_cv.notify_all();
    }
    s.watches.stop_all();
    // The monitor retries no more: a request still waiting for a thread (a write behind another
    // among them, holding its claim on the exit) gets one last try, or its error reply.
    s.pool->retry_deferred(/*last_chance=*/true);
    if (s.hang_up_children) s.hang_up_children();
    s.changes.wait_for_changes(kStallTimeout);
    if (s.seal_output) s.output->seal(kStallTimeout);
    std::lock_guard<std::mutex> lock(s.end_mu);
    s.ended = true;
    s.end_cv.notify_all();
}

enum class RoleEnd { lost, input_ended };

// The reading role. Requests that may run long or hold shared state (children, the watch
// registry, the git probe), and those that must wait for an earlier one's turn, go to a worker
// at once; the rest run here, and their replies are gathered while further whole requests are
// already buffered.
RoleEnd read_requests(const std::shared_ptr<Service>& s) {
    Service& sv = *s;
    // Runs step as inline work, watched by the monitor; false when the monitor gave the reading
    // role to another thread meanwhile.
    auto watched = [&sv](auto&& step) {
        const std::uint64_t ticket = ++sv.last_ticket;
        sv.inline_since.store(now_nanos(), std::memory_order_relaxed);
        sv.inline_ticket.store(ticket);
        sv.wake_monitor();
        step();
        std::uint64_t expected = ticket;
        return sv.inline_ticket.compare_exchange_strong(expected, 0);
    };
    // This thread may end up writing the gathered replies, and the output may be full, so it is
    // watched like a request.
    auto hand_over_gathered = [&] {
        return sv.gathered.load(std::memory_order_relaxed) == 0 ||
               watched([&] { sv.submit_gathered(); });
    };
    for (;;) {
        // A reply is never held back while the agent waits for input.
        if (sv.gathered.load(std::memory_order_relaxed) >= kMaxGathered || !sv.in.holds_request()) {
            if (!hand_over_gathered()) return RoleEnd::lost;
        }
        renew_memory_reserve();
        std::shared_ptr<Request> req = new_request(sv.changes);
        // Without memory for the request itself, nothing is answered: the service ends as
        // for a bad frame.
        if (!req || read_request(sv.in, *req) == ReadOutcome::stop) break;
        try {
            prepare(*req, sv.write_turns, sv.watch_turns);
        } catch (const std::bad_alloc&) {
            req->refused = ENOMEM;
        }
        const bool to_worker =
            req->row && !req->refused && (req->row->to_worker || req->turn_before);
        if (!sv.inline_enabled || to_worker) {
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

// An inline request ran past the bound: a thread takes the reading role over. Without a thread
// the role stays stuck for now (the next tick tries again), but the replies already finished
// leave at once instead of waiting behind the blocked request.
bool hand_reading_role_on(const std::shared_ptr<Service>& s, std::uint64_t ticket) {
    int rc = ENOMEM;
    try {
        std::function<void()> job = [s, ticket] { take_reading_role(s, ticket); };
        rc = s->pool->run(job);
    } catch (const std::bad_alloc&) {
    }
    if (rc != 0) s->submit_gathered();
    return rc == 0;
}

// Watches the inline request of the moment and retries deferred worker starts; ticks only
// while either needs it, sleeps when neither has for a while.
void run_monitor(const std::shared_ptr<Service>& s) {
    std::uint64_t handed = 0;
    int quiet = 0;
    auto idle = [&s] {
        const std::uint64_t t = s->inline_ticket.load();
        return (t == 0 || t == kRoleTaken) && !s->pool->has_deferred();
    };
    while (!s->stopping.load()) {
        s->pool->retry_deferred();
        const std::uint64_t ticket = s->inline_ticket.load();
        if (idle()) {
            if (++quiet >= kQuietTicksBeforePark) {
                quiet = 0;
                std::unique_lock<std::mutex> lock(s->monitor_mu);
                s->monitor_parked.store(true);
                s->monitor_cv.wait(lock, [&] { return s->stopping.load() || !idle(); });
                s->monitor_parked.store(false);
                continue;
            }
        } else if (ticket != 0 && ticket != kRoleTaken) {
            quiet = 0;
            const std::int64_t since = s->inline_since.load(std::memory_order_relaxed);
            if (ticket != handed && now_nanos() - since >= kInlineBoundNanos &&
                hand_reading_role_on(s, ticket)) {
                handed = ticket;
            }
        }
        std::this_thread::sleep_for(kMonitorTick);
    }
}

}  // namespace

void serve(const ServeOptions& options) {
    ThreadStarter start = options.start_thread;
    if (!start) start = start_detached_thread;
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
