// Controller-side client: starts a vesk-agent process (locally or through ssh) and speaks the
// frame protocol to it.
//
// Thread rules: any number of threads may send requests and wait for replies at once. One
// reader thread per AgentClient reads the agent's standard output; replies are matched to
// waiters by id. "changed" events (id 0 with a method) go to the event handler when one is set,
// otherwise they are queued for next_event().
//
// A dead agent never leaves a caller hanging: when the agent's output ends or breaks framing,
// the client collects the agent's exit status and the tail of its standard error, and every
// pending and later request() or typed call fails with an AgentError naming that cause. Text
// where the first frame should begin (a remote login shell's greeting) fails it at once, the
// text quoted in the cause; a frame's announced length is never allocated ahead of its bytes.
//
// Two layers:
//  - raw: send()/wait_reply()/call()/request() exchange Message values; an error reply is an
//    ordinary Message with `error` set;
//  - typed: hello(), stat(), exec(), ... decode the reply into plain structs and throw
//    RequestError when the agent answered with an error text.
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

#include "common/spawn.h"
#include "common/sys.h"

namespace vesk::client {

// One message from the agent, both frames.
struct Message {
    std::string header_text;  // the header frame exactly as received
    std::uint64_t id = 0;
    std::optional<std::string> method;
    nlohmann::json data;  // null when absent
    std::optional<std::string> error;
    std::string body;
};

struct StartOptions {
    std::vector<std::string> argv;  // program and arguments, e.g. {agent, "serve"}
    // Environment changes applied to the child: a value sets, nullopt removes. A PATH set
    // here is also where a bare program name in argv[0] is looked up (argv[0] then becomes
    // the path found).
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    std::optional<std::string> cwd;
    bool capture_stderr = true;  // otherwise the child shares ours
    // The child leads a process group of its own, so signals sent to the caller's group (a
    // Ctrl-C) pass it by. ssh stays in the caller's group: it may need the terminal to ask.
    bool own_process_group = false;
    // Text before the first frame then comes from the remote login shell (for the message).
    bool through_ssh = false;
};

// `agent_path serve`, started directly, in a process group of its own.
StartOptions local_start(const std::string& agent_path);
// `ssh [SSH_OPTIONS] -- HOST REMOTE_AGENT serve`, with ssh found through PATH. The remote
// command is quoted for the remote shell. ssh's standard error is ours: its prompts, warnings
// and failures reach the user as ssh's own. Throws std::invalid_argument for an empty host or
// one that starts with "-" (ssh would read it as an option).
StartOptions ssh_start(const std::string& host, const std::string& remote_agent = "vesk-agent",
                       const std::vector<std::string>& ssh_options = {});

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
// streams because those names are macros.
struct ProgramResult {
    int code = -1;
    std::string stderr_text;
    std::string stdout_bytes;
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

    // Sends a request with a fresh id (1, 2, ...) and returns the id. Text in the method or
    // data that is not UTF-8 is refused (nlohmann::json::type_error) rather than sent repaired,
    // so a request never names another path than the caller's. A body over the agent's frame
    // limit (kMaxFrameLen) is refused with std::length_error before anything is sent.
    std::uint64_t send(std::string_view method, const nlohmann::json& data = nullptr,
                       std::string_view body = {});
    // Like send(), with the next len bytes of fd (a regular file) as the body, read and sent a
    // chunk at a time rather than held. When fd does not yield exactly len bytes (the file
    // changed meanwhile) or cannot be read, the agent's input is closed before the body is
    // whole, so the agent acts on nothing, and AgentError says why; the client is then done.
    std::uint64_t send_from_fd(std::string_view method, const nlohmann::json& data, int fd,
                               std::uint64_t len);
    // Like request(), but the body of a reply that is not an error is written to fd as it
    // arrives rather than kept (Message::body stays empty). Throws std::system_error when
    // writing to fd failed (the reply was still read whole, the connection stays usable).
    Message request_into_fd(std::string_view method, const nlohmann::json& data, int fd);
    // Sends a request and waits for its reply. Throws AgentError (a std::runtime_error) when
    // the agent dies or the timeout passes first.
    Message call(std::string_view method, const nlohmann::json& data = nullptr,
                 std::string_view body = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Like call() without a time limit: returns the reply (error replies included) or throws
    // AgentError once the agent is gone.
    Message request(std::string_view method, const nlohmann::json& data = nullptr,
                    std::string_view body = {});
    // Waits without a time limit for the reply to id (from send()); throws AgentError once the
    // agent is gone.
    Message wait_for(std::uint64_t id, std::string_view method);
    // Waits for the reply to id; nothing when the timeout passes or the agent's output ended.
    std::optional<Message> wait_reply(std::uint64_t id, std::chrono::milliseconds timeout);
    // Next queued event (a message with id 0 and a method), in arrival order.
    std::optional<Message> next_event(std::chrono::milliseconds timeout);

    // Typed helpers, one per method. They wait without a time limit and throw RequestError
    // for an error reply, AgentError when the agent is gone.
    Hello hello();
    std::string read_file(const std::string& path);
    void write_file(const std::string& path, std::string_view content);
    // The same through send_from_fd and request_into_fd: the content never held in memory.
    void write_file_from(const std::string& path, int fd, std::uint64_t len);
    void read_file_into(const std::string& path, int fd);
    FileStat stat(const std::string& path);
    std::vector<std::string> readdir(const std::string& path);
    void mkdirp(const std::string& path);
    void remove(const std::string& path, bool recursive = false);
    std::string canonicalize(const std::string& path);
    // One entry per path: the line count, or nothing when the agent could not count it.
    std::vector<std::optional<std::uint32_t>> countlines(const std::vector<std::string>& paths);
    ProgramResult exec(const std::string& cwd, const std::string& program,
                       const std::vector<std::string>& args, std::string_view input = {});
    ProgramResult git(const std::string& cwd, const std::vector<std::string>& args,
                      const std::vector<std::pair<std::string, std::string>>& env = {},
                      std::string_view input = {});
    void watch(const std::string& path);
    void unwatch(const std::string& path);

    // Closes the agent's standard input (end of input).
    void close_input();
    // Waits for the agent to exit; returns its wait status (as from waitpid), or nothing on
    // timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // True once the agent's output ended (end of file) or became malformed.
    bool output_ended();
    // Why the agent is unusable (exit status, stderr tail); nothing while it is alive. Becomes
    // available shortly after output_ended().
    std::optional<std::string> failure();
    // What the agent wrote to standard error (when captured); complete once it has exited.
    std::string stderr_text();

    pid_t pid() const { return child_.pid(); }

  private:
    void start(const StartOptions& options);
    void reader_loop();
    void stderr_loop();
    bool read_frame(const char* len, std::string& payload);
    std::string stray_text_cause(std::string text);
    void deliver(Message m);
    // explained: cause is the whole failure text, not a symptom of the agent's death.
    void finish(std::string cause, bool explained = false);
    std::string describe_death(const std::string& cause);
    // A request body: bytes in memory, or (fd >= 0) the next len bytes of a file.
    struct BodySource {
        std::string_view bytes;
        int fd = -1;
        std::uint64_t len = 0;
    };
    // Where the reader writes a reply's body instead of keeping it; err is its first errno.
    struct BodySink {
        int fd = -1;
        int err = 0;
    };
    std::uint64_t send_message(std::string_view method, const nlohmann::json& data,
                               const BodySource& body, const std::shared_ptr<BodySink>& sink);
    ProgressHandler progress_for(std::uint64_t size);
    bool write_request(std::string_view head, std::string_view body);
    bool write_request_from_fd(std::string_view head, int fd, std::uint64_t len);
    bool read_body_into(const char* len, BodySink& sink);
    Message await(std::uint64_t id, std::string_view method,
                  std::optional<std::chrono::steady_clock::time_point> deadline);
    Message checked(std::string_view method, const nlohmann::json& data,
                    std::string_view body = {});

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
    std::map<std::uint64_t, std::shared_ptr<BodySink>> sinks_;  // by request id
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

// A wait status as words: "exited with status 3", "killed by signal 9 (Killed)".
std::string describe_wait_status(int status);

}  // namespace vesk::client
