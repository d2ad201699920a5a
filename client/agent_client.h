// Controller-side client: the session with a started vesk-agent process (client/agent_process.h
// starts it, locally or through ssh), speaking the frame protocol to it.
//
// Thread rules: any number of threads may send requests and wait for replies at once. One
// reader thread per AgentClient reads the agent's standard output; replies are matched to
// waiters by id. "changed" events (id 0 with a method) go to the event handler when one is set,
// otherwise they are queued for next_event().
//
// A dead agent never leaves a caller hanging: when the agent's output ends or breaks framing,
// the client collects the agent's exit status and the tail of its standard error, and every
// pending and later request fails with an AgentError naming that cause. Text where the first
// frame should begin (a remote login shell's greeting) fails it at once, the text quoted in the
// cause; a frame's announced length is never allocated ahead of its bytes.
//
// One style for every call: a call returns its result and throws on failure (AgentError: the
// agent is gone; RequestError: from the typed calls, the agent answered with an error text).
// The raw calls (send, wait, request, call) return a Message, an error reply being an ordinary
// one with `error` set. Only the two polling calls, wait_reply() and next_event(), return
// nothing when their time passes.
//
// A request's body is bytes in memory or a range of a file (Body); a reply's body is kept in
// the Message or, given a Sink, handed over piece by piece as it arrives, never held whole.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "client/agent_process.h"
#include "common/sys.h"

namespace vesk::client {

// One message from the agent, both frames.
struct Message {
    std::string header_text;  // the header frame exactly as received
    std::uint64_t id = 0;
    std::optional<std::string> method;
    nlohmann::json data;  // null when absent
    std::optional<std::string> error;
    std::string body;             // empty when the body went to a Sink
    std::uint64_t body_size = 0;  // the body frame's length, kept or not
};

// A request body: bytes in memory (which must outlive the send), or the next `len` bytes of
// the file descriptor `fd` (a regular file), read and sent a chunk at a time. When fd does not
// yield exactly len bytes (the file changed meanwhile) or cannot be read, the agent's input is
// closed before the body is whole, so the agent acts on nothing, and AgentError says why; the
// client is then done.
struct Body {
    std::string_view bytes;
    int fd = -1;
    std::uint64_t len = 0;
    Body() = default;
    Body(std::string_view b) : bytes(b) {}
    Body(const std::string& b) : bytes(b) {}
    Body(const char* b) : bytes(b) {}
    static Body from_fd(int fd, std::uint64_t len) {
        Body body;
        body.fd = fd;
        body.len = len;
        return body;
    }
    std::uint64_t size() const { return fd >= 0 ? len : bytes.size(); }
};

// Receives the body of a reply that is not an error, a piece at a time in order, on the
// reader thread, as it arrives. It must not wait for a reply from the same client. Errors of
// its own (a full disk) are its to keep: the rest of the body still comes, so the stream
// stays in step.
using Sink = std::function<void(std::string_view piece)>;

// The agent is gone or its stream cannot be trusted; what() names the cause.
class AgentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The agent answered a request with an error text.
class RequestError : public std::runtime_error {
  public:
    RequestError(std::string method, std::string text)
        : std::runtime_error(text), method_(std::move(method)), text_(std::move(text)) {}
    const std::string& method() const { return method_; }
    const std::string& text() const { return text_; }

  private:
    std::string method_;
    std::string text_;
};

// Typed results.
struct Hello {
    std::string arch;
    std::optional<std::string> git;  // nothing when the agent cannot run git
    std::string home;
    std::string os;
    std::uint64_t protocol = 0;
    std::string version;
};

struct FileStat {
    bool exists = false;
    bool is_dir = false;
    std::uint64_t len = 0;
};

// Outcome of exec or git. `code` is -1 when the program was killed by a signal or could not
// be started (then stderr_text holds the reason). The members are not named after the C
// streams because those names are macros. stdout_bytes stays empty when it went to a Sink.
struct ProgramResult {
    int code = -1;
    std::string stderr_text;
    std::string stdout_bytes;
    std::uint64_t stdout_size = 0;
};

using EventHandler = std::function<void(const Message&)>;
// Called while a large frame travels: sending is true for requests, false for replies.
using ProgressHandler =
    std::function<void(bool sending, std::uint64_t done_bytes, std::uint64_t total_bytes)>;

class AgentClient {
  public:
    // Starts the process. Throws std::runtime_error when it cannot be started.
    explicit AgentClient(const StartOptions& options);
    // Starts `agent_path serve`.
    explicit AgentClient(const std::string& agent_path);
    AgentClient(const AgentClient&) = delete;
    AgentClient& operator=(const AgentClient&) = delete;
    // Closes input, kills the agent if it has not exited within 10 s, reaps it.
    ~AgentClient();

    // Events from now on go to `handler`, called on the reader thread in arrival order (events
    // already queued stay queued). The handler must not wait for a reply from this client:
    // replies are read by the thread that runs it. An empty handler restores queueing.
    void set_event_handler(EventHandler handler);
    // Reports the progress of frames of at least `threshold` bytes, in both directions.
    void set_progress_handler(ProgressHandler handler, std::uint64_t threshold = 8u << 20);

    // Sends a request with a fresh id (1, 2, ...) and returns the id; many may be in flight.
    // Text in the method or data that is not UTF-8 is refused (nlohmann::json::type_error)
    // rather than sent repaired, so a request never names another path than the caller's. A
    // body over the agent's frame limit (kMaxFrameLen) is refused with std::length_error
    // before anything is sent. With a sink, the reply's body goes there (see Sink).
    std::uint64_t send(std::string_view method, const nlohmann::json& data = nullptr,
                       Body body = {}, Sink sink = {});
    // Waits without a time limit for the reply to id (from send()).
    Message wait(std::uint64_t id);
    // send() and wait() in one.
    Message request(std::string_view method, const nlohmann::json& data = nullptr, Body body = {},
                    Sink sink = {});
    // Like request(), failing with AgentError also when the timeout passes first.
    Message call(std::string_view method, const nlohmann::json& data = nullptr, Body body = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Polling: the reply to id, or nothing when the timeout passes or the agent's output ended.
    std::optional<Message> wait_reply(std::uint64_t id, std::chrono::milliseconds timeout);
    // Polling: the next queued event (a message with id 0 and a method), in arrival order.
    std::optional<Message> next_event(std::chrono::milliseconds timeout);

    // Typed helpers, one per method. They wait without a time limit and throw RequestError
    // for an error reply, AgentError when the agent is gone.
    Hello hello();
    // The content, or (given a sink) nothing, the content having gone there.
    std::string read_file(const std::string& path, Sink sink = {});
    void write_file(const std::string& path, Body content);
    FileStat stat(const std::string& path);
    std::vector<std::string> readdir(const std::string& path);
    void mkdirp(const std::string& path);
    void remove(const std::string& path, bool recursive = false);
    std::string canonicalize(const std::string& path);
    // One entry per path: the line count, or nothing when the agent could not count it.
    std::vector<std::optional<std::uint32_t>> countlines(const std::vector<std::string>& paths);
    ProgramResult exec(const std::string& cwd, const std::string& program,
                       const std::vector<std::string>& args, Body input = {},
                       Sink stdout_sink = {});
    ProgramResult git(const std::string& cwd, const std::vector<std::string>& args,
                      const std::vector<std::pair<std::string, std::string>>& env = {},
                      Body input = {}, Sink stdout_sink = {});
    void watch(const std::string& path);
    void unwatch(const std::string& path);

    // Closes the agent's standard input (end of input).
    void close_input();
    // Waits for the agent to exit; returns its wait status (as from waitpid), or nothing on
    // timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // Why the agent is unusable (exit status, stderr tail); nothing while it is alive.
    std::optional<std::string> failure();

    pid_t pid() const { return child_.pid(); }

  private:
    void reader_loop();
    void stderr_loop();
    bool read_frame(const char* len, std::string& payload);
    bool read_body_into(const char* len, const Sink& sink);
    std::string stray_text_cause(std::string text);
    void deliver(Message m);
    // explained: cause is the whole failure text, not a symptom of the agent's death.
    void finish(std::string cause, bool explained = false);
    std::string describe_death(const std::string& cause);
    ProgressHandler progress_for(std::uint64_t size);
    bool write_request(std::string_view head, std::string_view body);
    bool write_request_from_fd(std::string_view head, int fd, std::uint64_t len);
    Message await(std::uint64_t id, std::string_view method,
                  std::optional<std::chrono::steady_clock::time_point> deadline);
    Message checked(std::string_view method, const nlohmann::json& data, Body body = {},
                    Sink sink = {});
    ProgramResult program(std::string_view method, const nlohmann::json& data, Body input,
                          Sink sink);

    vesk::Child child_;  // reaped by wait_exit(), under exit_mu_
    unique_fd in_;       // guarded by send_mu_; closed by close_input()
    unique_fd out_;
    unique_fd err_;
    unique_fd stop_r_;  // readable once the destructor wants the reader threads gone
    unique_fd stop_w_;
    std::thread reader_;
    std::thread err_reader_;
    bool through_ssh_ = false;  // set before the threads start

    std::mutex send_mu_;
    std::uint64_t next_id_ = 1;

    std::mutex exit_mu_;  // one waitpid at a time, so exactly one caller reaps

    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::uint64_t, std::deque<Message>> replies_;
    std::map<std::uint64_t, Sink> sinks_;  // by request id
    std::deque<Message> events_;
    EventHandler event_handler_;
    ProgressHandler progress_handler_;
    std::uint64_t progress_threshold_ = 8u << 20;
    std::string err_text_;
    bool err_done_ = false;
    bool ended_ = false;
    bool malformed_ = false;
    std::optional<std::string> failure_;
};

}  // namespace vesk::client
