// Controller-side client: starts a vesk-agent process and speaks the frame protocol to it.
//
// Thread rules: any number of threads may send requests and wait for replies at once. One
// reader thread per AgentClient reads the agent's standard output; replies are matched to
// waiters by id, and "changed" events (id 0 with a method) are queued for next_event().
// When the agent's output ends or is malformed, every waiter is woken with an error.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace vesk::client {

// One message from the agent, both frames.
struct Message {
    std::string header_text;  // the header frame exactly as received
    nlohmann::json header;    // parsed
    std::uint64_t id = 0;
    std::optional<std::string> method;
    nlohmann::json data;  // null when absent
    std::optional<std::string> error;
    std::string body;
};

struct StartOptions {
    std::vector<std::string> argv;  // program and arguments, e.g. {agent, "serve"}
    // Environment changes applied to the child: a value sets, nullopt removes.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    std::optional<std::string> cwd;
    bool capture_stderr = true;  // otherwise the child shares ours
};

class AgentClient {
  public:
    // Starts the process. Throws std::runtime_error when it cannot be started.
    explicit AgentClient(const StartOptions& options);
    // Starts `agent_path serve`.
    explicit AgentClient(const std::string& agent_path);
    AgentClient(const AgentClient&) = delete;
    AgentClient& operator=(const AgentClient&) = delete;
    // Closes input, kills the agent if it has not exited, reaps it.
    ~AgentClient();

    // Sends a request with a fresh id (1, 2, ...) and returns the id.
    std::uint64_t send(std::string_view method, const nlohmann::json& data = nullptr,
                       std::string_view body = {});
    // Sends a request with the given envelope fields.
    void send_with_id(std::uint64_t id, std::string_view method, const nlohmann::json& data,
                      std::string_view body = {});
    // Sends raw bytes to the agent's standard input.
    void send_raw(std::string_view bytes);
    // Sends a request and waits for its reply. Throws std::runtime_error when the agent ends
    // or the timeout passes first.
    Message call(std::string_view method, const nlohmann::json& data = nullptr,
                 std::string_view body = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Waits for the reply to id; nothing when the timeout passes or the agent's output ended.
    std::optional<Message> wait_reply(std::uint64_t id, std::chrono::milliseconds timeout);
    // Next event (a message with id 0 and a method), in arrival order.
    std::optional<Message> next_event(std::chrono::milliseconds timeout);

    // Closes the agent's standard input (end of input).
    void close_input();
    // Waits for the agent to exit; returns its wait status (as from waitpid), or nothing on
    // timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // True once the agent's output ended (end of file) or became malformed.
    bool output_ended();
    // True when the output stream broke framing or held a header that is not JSON.
    bool output_malformed();
    // Every message received so far, in order, including replies already taken.
    std::vector<Message> transcript();
    // Raw bytes the agent wrote to standard output so far.
    std::string raw_output();
    // What the agent wrote to standard error (when captured), once it has exited.
    std::string stderr_text();

    pid_t pid() const { return pid_; }

  private:
    void start(const StartOptions& options);
    void reader_loop();

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int stop_r_ = -1;  // readable once the destructor wants the reader threads gone
    int stop_w_ = -1;
    std::thread reader_;
    std::thread err_reader_;
    std::string err_text_;

    std::mutex send_mu_;
    std::uint64_t next_id_ = 1;

    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::uint64_t, std::deque<Message>> replies_;
    std::deque<Message> events_;
    std::vector<Message> transcript_;
    std::string raw_;
    bool ended_ = false;
    bool malformed_ = false;
    std::optional<int> exit_status_;
};

// Encodes one request message (header frame + body frame).
std::string encode_request(std::uint64_t id, std::string_view method, const nlohmann::json& data,
                           std::string_view body);
// Encodes one frame.
std::string encode_frame(std::string_view payload);

}  // namespace vesk::client
