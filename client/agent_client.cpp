#include "client/agent_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "client/stream_io.h"
#include "common/codec.h"
#include "common/text.h"

namespace vesk::client {

namespace {

constexpr std::size_t kStderrKeep = 64u << 10;

// A byte of what a greeting or a message of the day is made of (UTF-8 counted as text).
bool is_text_byte(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u != 0x7f) || u == '\t';
}

// The start of stray text, up to the first line end or other control byte, repaired and cut
// short for one line of an error message.
std::string stray_excerpt(std::string_view text) {
    constexpr std::size_t kShown = 60;
    std::size_t end = 0;
    while (end < text.size() && is_text_byte(text[end])) ++end;
    std::string line = utf8_lossy(text.substr(0, std::min(end, kShown)));
    if (end <= kShown) return line;
    // Cut at a character boundary (the repair may have ended on a partial character's U+FFFD).
    while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xc0) == 0x80)
        line.pop_back();
    if (!line.empty() && static_cast<unsigned char>(line.back()) >= 0xc0) line.pop_back();
    return line + "\u2026";
}

// The codec repairs text that is not UTF-8 (the agent must never put a stray byte on its
// stream), but a request must not quietly name another path than the caller gave. Refused in
// the JSON library's own words, the first bad text in the order the envelope is written.
void refuse_invalid_utf8(const nlohmann::json& v) {
    using nlohmann::json;
    switch (v.type()) {
        case json::value_t::string:
            if (!is_valid_utf8(v.get_ref<const std::string&>())) (void)v.dump();
            return;
        case json::value_t::array:
            for (const json& element : v) refuse_invalid_utf8(element);
            return;
        case json::value_t::object:
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!is_valid_utf8(it.key())) (void)json(it.key()).dump();
                refuse_invalid_utf8(it.value());
            }
            return;
        default:
            return;
    }
}

// The last few non-empty lines of the agent's standard error, for error messages.
std::string stderr_tail(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string::npos ? text.size() : nl;
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    constexpr std::size_t kLines = 3;
    std::string out;
    for (std::size_t i = lines.size() > kLines ? lines.size() - kLines : 0; i < lines.size(); ++i) {
        if (!out.empty()) out += " | ";
        out += lines[i];
    }
    return out;
}

}  // namespace

AgentClient::AgentClient(const std::string& agent_path) : AgentClient(local_start(agent_path)) {}

AgentClient::AgentClient(const StartOptions& options) {
    start_process(options, child_);
    through_ssh_ = options.through_ssh;
    in_ = std::move(child_.in);
    out_ = std::move(child_.out);
    err_ = std::move(child_.err);
    int stop[2];
    // On failure child_ kills and reaps the agent as the constructor unwinds.
    if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    stop_r_.reset(stop[0]);
    stop_w_.reset(stop[1]);
    if (err_)
        err_reader_ = std::thread([this] { stderr_loop(); });
    else
        err_done_ = true;
    reader_ = std::thread([this] { reader_loop(); });
}

AgentClient::~AgentClient() {
    close_input();
    if (!wait_exit(std::chrono::seconds(10))) {
        ::kill(child_.pid(), SIGKILL);
        wait_exit(std::chrono::seconds(10));
    }
    // The agent is gone, but a child it started may still hold its output open: tell the
    // readers to stop rather than wait for an end of file that may never come.
    stop_w_.reset();
    if (reader_.joinable()) reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
}

void AgentClient::stderr_loop() {
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{err_.get(), POLLIN, 0}, {stop_r_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        ssize_t r = ::read(err_.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        std::lock_guard<std::mutex> lock(mu_);
        err_text_.append(buf, static_cast<std::size_t>(r));
        // A chatty agent must not grow us without bound; the tail is what explains a death.
        if (err_text_.size() > 2 * kStderrKeep) err_text_.erase(0, err_text_.size() - kStderrKeep);
    }
    std::lock_guard<std::mutex> lock(mu_);
    err_done_ = true;
    cv_.notify_all();
}

// Reads the rest of the frame whose length prefix is len into payload, which may hold its
// first bytes already.
bool AgentClient::read_frame(const char* len, std::string& payload) {
    std::uint32_t n = get_be32(len);
    ProgressHandler progress = progress_for(n);
    std::function<void(std::size_t)> on_chunk;
    if (progress) on_chunk = [&](std::size_t done) { progress(false, done, n); };
    return read_payload(out_.get(), stop_r_.get(), payload, n, on_chunk) == ReadResult::ok;
}

// Like read_frame, but the payload goes to the sink a chunk at a time as it arrives.
bool AgentClient::read_body_into(const char* len, const Sink& sink) {
    const std::uint32_t n = get_be32(len);
    ProgressHandler progress = progress_for(n);
    std::string chunk(std::min<std::size_t>(n, kChunk), '\0');
    for (std::size_t done = 0, got = 0; done < n; done += got) {
        if (read_some(out_.get(), stop_r_.get(), chunk.data(), std::min(chunk.size(), n - done),
                      got) != ReadResult::ok)
            return false;
        sink(std::string_view(chunk.data(), got));
        if (progress) progress(false, done + got, n);
    }
    return true;
}

// Text before the first frame: collects its first line (what is already there, or what
// arrives within a moment) for the message.
std::string AgentClient::stray_text_cause(std::string text) {
    while (text.size() < 256 && std::all_of(text.begin(), text.end(), is_text_byte)) {
        pollfd fd{out_.get(), POLLIN, 0};
        if (::poll(&fd, 1, 200) <= 0) break;
        char buf[256];
        ssize_t r = ::read(out_.get(), buf, sizeof buf);
        if (r <= 0) break;
        text.append(buf, static_cast<std::size_t>(r));
    }
    std::string who = through_ssh_ ? "the remote shell" : "the agent's command";
    return who + " printed text before the agent started: '" + stray_excerpt(text) + "'" +
           (through_ssh_ ? "; make non-interactive logins print nothing" : "");
}

void AgentClient::reader_loop() {
    const int fd = out_.get(), stop = stop_r_.get();
    for (bool first = true;; first = false) {
        Message m;
        char len[4];
        if (read_exact(fd, stop, len, 1) != ReadResult::ok) return finish("");
        if (read_exact(fd, stop, len + 1, 3) != ReadResult::ok)
            return finish("its output ended inside a message");
        // An envelope opens with '{'. Anything else is not the agent speaking, and the length
        // it seems to announce is not waited for.
        char open = 0;
        if (get_be32(len) != 0 && read_exact(fd, stop, &open, 1) != ReadResult::ok)
            return finish("its output ended inside a message");
        if (open != '{') {
            // The agent's first header is short, so its length begins with a zero byte; text
            // there (a length of over 150 MB) is a login shell talking, not the agent.
            if (first && is_text_byte(len[0]))
                return finish(stray_text_cause(std::string(len, 4) + open), true);
            return finish("it sent a header that is not a valid envelope");
        }
        m.header_text.assign(1, open);
        if (!read_frame(len, m.header_text)) return finish("its output ended inside a message");
        std::optional<Header> header = decode_envelope(m.header_text);
        if (!header) return finish("it sent a header that is not a valid envelope");
        Sink sink;
        if (!header->method) {
            std::lock_guard<std::mutex> lock(mu_);
            if (auto it = sinks_.find(header->id); it != sinks_.end()) {
                if (!header->error) sink = std::move(it->second);
                sinks_.erase(it);
            }
        }
        if (read_exact(fd, stop, len, 4) != ReadResult::ok ||
            !(sink ? read_body_into(len, sink) : read_frame(len, m.body)))
            return finish("its output ended inside a message");
        m.body_size = get_be32(len);
        m.id = header->id;
        m.method = std::move(header->method);
        m.data = std::move(header->data);
        m.error = std::move(header->error);
        deliver(std::move(m));
    }
}

void AgentClient::deliver(Message m) {
    EventHandler handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        const bool is_event = m.id == 0 && m.method;
        if (is_event && event_handler_) {
            handler = event_handler_;
        } else if (is_event) {
            events_.push_back(std::move(m));
        } else {
            replies_[m.id].push_back(std::move(m));
        }
        cv_.notify_all();
    }
    if (handler) handler(m);
}

// The reader is done: wake everyone at once, then find out why the agent went away and
// publish that so pending and later requests fail with a useful message.
void AgentClient::finish(std::string cause, bool explained) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        if (!cause.empty()) malformed_ = true;
        cv_.notify_all();
    }
    // The destructor stops the reader on purpose; nobody is waiting then.
    pollfd stop{stop_r_.get(), POLLIN, 0};
    if (::poll(&stop, 1, 0) > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        failure_ = "the client was closed";
        cv_.notify_all();
        return;
    }
    std::string text =
        explained ? std::move(cause) : describe_death(cause.empty() ? "its output ended" : cause);
    std::lock_guard<std::mutex> lock(mu_);
    failure_ = std::move(text);
    cv_.notify_all();
}

std::string AgentClient::describe_death(const std::string& cause) {
    // An agent whose output ended normally exits right after; one that wrote garbage may not.
    auto grace = malformed_ ? std::chrono::milliseconds(300) : std::chrono::milliseconds(2000);
    std::optional<int> status = wait_exit(grace);
    std::string text = "agent failed: " + cause;
    text += status ? std::string(WIFSIGNALED(*status) ? "; it was " : "; it ") +
                         describe_wait_status(*status)
                   : "; it is still running";
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(status ? 1000 : 100), [&] { return err_done_; });
    std::string tail = stderr_tail(err_text_);
    if (!tail.empty()) text += "; its stderr ends: " + tail;
    return text;
}

void AgentClient::set_event_handler(EventHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    event_handler_ = std::move(handler);
}

void AgentClient::set_progress_handler(ProgressHandler handler, std::uint64_t threshold) {
    std::lock_guard<std::mutex> lock(mu_);
    progress_handler_ = std::move(handler);
    progress_threshold_ = threshold;
}

ProgressHandler AgentClient::progress_for(std::uint64_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    return progress_handler_ && size >= progress_threshold_ ? progress_handler_ : nullptr;
}

// Caller holds send_mu_.
bool AgentClient::write_request(std::string_view head, std::string_view body) {
    ProgressHandler progress = progress_for(body.size());
    const std::size_t total = head.size() + body.size();
    std::function<void(std::size_t)> on_chunk;
    if (progress) on_chunk = [&](std::size_t done) { progress(true, done, total); };
    return in_ && write_all_blocking_sigpipe(in_.get(), {head, body}, on_chunk);
}

// Caller holds send_mu_. The body is read a chunk at a time; the last chunk leaves only once
// the file is seen to end there, so a file that grew or shrank never becomes a whole frame.
bool AgentClient::write_request_from_fd(std::string_view head, int fd, std::uint64_t len) {
    ProgressHandler progress = progress_for(len);
    std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(len + 1, kChunk)), '\0');
    if (!in_ || !write_all_blocking_sigpipe(in_.get(), {head}, {})) return false;
    std::string trouble;
    for (std::uint64_t sent = 0;;) {
        ssize_t r = ::read(fd, chunk.data(), chunk.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            trouble = std::string("cannot read the file: ") + std::strerror(errno);
            break;
        }
        std::uint64_t read_to = sent + static_cast<std::uint64_t>(r);
        char probe;
        if (read_to > len || (r == 0 && sent < len) ||
            (read_to == len && ::read(fd, &probe, 1) != 0)) {
            trouble = "the file changed size while it was sent (" + std::to_string(len) +
                      " bytes expected)";
            break;
        }
        if (!write_all_blocking_sigpipe(
                in_.get(), {std::string_view(chunk.data(), static_cast<std::size_t>(r))}, {}))
            return false;
        sent = read_to;
        if (progress) progress(true, sent, len);
        if (sent == len) return true;
    }
    // A frame cut short: the agent reads to the end of its input and acts on nothing.
    in_.reset();
    throw AgentError(trouble + "; the connection was dropped so that nothing was written");
}

std::uint64_t AgentClient::send(std::string_view method, const nlohmann::json& data, Body body,
                                Sink sink) {
    refuse_invalid_utf8(data);
    if (!is_valid_utf8(method)) (void)nlohmann::json(std::string(method)).dump();
    const std::uint64_t len = body.size();
    // The agent takes frames of at most kMaxFrameLen; a larger one would be read, sent, and
    // only then end the connection.
    if (len > kMaxFrameLen)
        throw std::length_error(std::string(method) + ": " + std::to_string(len) +
                                " bytes to send, over the agent's limit of " +
                                std::to_string(kMaxFrameLen) + " bytes (1 GiB) per request");
    Header header;
    header.method = std::string(method);
    header.data = data;
    std::lock_guard<std::mutex> lock(send_mu_);
    header.id = next_id_++;
    // The head and the body are written apart, so a large body is not copied; send_mu_ keeps
    // the message whole on the stream.
    std::string head;
    if (!encode_head(header, static_cast<std::size_t>(len), head))
        throw std::length_error(std::string(method) + ": request too long for a frame");
    if (sink) {
        std::lock_guard<std::mutex> sinks_lock(mu_);
        sinks_[header.id] = std::move(sink);
    }
    if (body.fd >= 0)
        write_request_from_fd(head, body.fd, len);
    else
        write_request(head, body.bytes);
    return header.id;
}

// Waits for the reply to id, or for the agent's death to be explained.
Message AgentClient::await(std::uint64_t id, std::string_view method,
                           std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ready = [&] {
        auto it = replies_.find(id);
        return (it != replies_.end() && !it->second.empty()) || failure_.has_value();
    };
    if (deadline) {
        cv_.wait_until(lock, *deadline, ready);
    } else {
        cv_.wait(lock, ready);
    }
    auto it = replies_.find(id);
    if (it != replies_.end() && !it->second.empty()) {
        Message m = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty()) replies_.erase(it);
        return m;
    }
    if (failure_) throw AgentError(*failure_);
    throw AgentError("no reply to " + std::string(method) + " in time");
}

Message AgentClient::wait(std::uint64_t id) {
    return await(id, "the request", std::nullopt);
}

Message AgentClient::request(std::string_view method, const nlohmann::json& data, Body body,
                             Sink sink) {
    std::uint64_t id = send(method, data, body, std::move(sink));
    return await(id, method, std::nullopt);
}

Message AgentClient::call(std::string_view method, const nlohmann::json& data, Body body,
                          std::chrono::milliseconds timeout) {
    std::uint64_t id = send(method, data, body);
    return await(id, method, std::chrono::steady_clock::now() + timeout);
}

std::optional<Message> AgentClient::wait_reply(std::uint64_t id,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ready = [&] {
        auto it = replies_.find(id);
        return (it != replies_.end() && !it->second.empty()) || ended_;
    };
    cv_.wait_for(lock, timeout, ready);
    auto it = replies_.find(id);
    if (it == replies_.end() || it->second.empty()) return std::nullopt;
    Message m = std::move(it->second.front());
    it->second.pop_front();
    if (it->second.empty()) replies_.erase(it);
    return m;
}

std::optional<Message> AgentClient::next_event(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return !events_.empty() || ended_; });
    if (events_.empty()) return std::nullopt;
    Message m = std::move(events_.front());
    events_.pop_front();
    return m;
}

void AgentClient::close_input() {
    std::lock_guard<std::mutex> lock(send_mu_);
    in_.reset();
}

std::optional<int> AgentClient::wait_exit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(exit_mu_);
            if (child_.poll_exit() != 0) return std::nullopt;
            if (child_.ended()) return child_.status();
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<std::string> AgentClient::failure() {
    std::lock_guard<std::mutex> lock(mu_);
    return failure_;
}

}  // namespace vesk::client
