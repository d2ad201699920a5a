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
#include <initializer_list>
#include <stdexcept>
#include <system_error>

#include "common/codec.h"
#include "common/text.h"

namespace vesk::client {

namespace {

constexpr std::size_t kChunk = 1u << 20;
constexpr std::size_t kStderrKeep = 64u << 10;

// Writes the pieces in order without letting a vanished reader raise SIGPIPE in the caller's
// process (a library must not change its host's signal handling, and the caller may not ignore
// SIGPIPE): the signal is blocked for this thread during the write and a pending one consumed.
// on_chunk gets the bytes done so far, across all pieces. On failure errno is the write's.
bool write_all_blocking_sigpipe(int fd, std::initializer_list<std::string_view> pieces,
                                const std::function<void(std::size_t)>& on_chunk) {
    sigset_t pipe_set, old_set, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    bool ok = true;
    std::size_t before = 0;  // bytes of the earlier pieces
    for (std::string_view bytes : pieces) {
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            std::size_t n = std::min(kChunk, bytes.size() - done);
            ssize_t w = ::write(fd, bytes.data() + done, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            done += static_cast<std::size_t>(w);
            if (on_chunk) on_chunk(before + done);
        }
        before += done;
    }
    const int err = errno;
    if (!ok && err == EPIPE && !was_pending) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    errno = err;  // the write's, for the caller
    return ok;
}

enum class ReadResult { ok, end, stopped };

// Reads up to n bytes into p once the descriptor is readable; the count read, or nothing.
ReadResult read_some(int fd, int stop_fd, char* p, std::size_t n, std::size_t& got) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return ReadResult::end;
        }
        if (fds[1].revents) return ReadResult::stopped;
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return ReadResult::end;
        got = static_cast<std::size_t>(r);
        return ReadResult::ok;
    }
}

// Reads exactly n bytes.
ReadResult read_exact(int fd, int stop_fd, char* p, std::size_t n) {
    for (std::size_t done = 0, got = 0; done < n; done += got) {
        ReadResult r = read_some(fd, stop_fd, p + done, std::min(kChunk, n - done), got);
        if (r != ReadResult::ok) return r;
    }
    return ReadResult::ok;
}

// Appends the rest of a payload of n bytes to out. The buffer grows with the bytes that
// arrive, never to the announced length at once: a corrupt length costs what was sent, not
// what it claims.
ReadResult read_payload(int fd, int stop_fd, std::string& out, std::size_t n,
                        const std::function<void(std::size_t)>& on_chunk) {
    std::size_t done = out.size();
    while (done < n) {
        if (out.size() == done) out.resize(std::min(n, std::max(2 * done, kChunk)));
        std::size_t got = 0;
        ReadResult r =
            read_some(fd, stop_fd, out.data() + done, std::min(kChunk, out.size() - done), got);
        if (r != ReadResult::ok) {
            out.resize(done);
            return r;
        }
        done += got;
        if (on_chunk) on_chunk(done);
    }
    out.resize(done);
    return ReadResult::ok;
}

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

// The PATH that the environment changes set for the child (the last change wins); nothing
// when they leave ours or remove it.
std::optional<std::string> path_set_for_child(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::optional<std::string> path;
    for (const auto& [name, value] : changes) {
        if (name == "PATH") path = value;
    }
    return path;
}

// posix_spawnp searches the caller's PATH; a PATH given for the child is the one that counts.
// A program found nowhere on it is left to that search.
std::string resolve_program(const std::string& program, const std::string& dirs) {
    if (program.find('/') != std::string::npos) return program;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return program;
        start = colon + 1;
    }
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

// Single-quotes a word for a POSIX shell unless it is plainly safe.
std::string shell_quote(const std::string& word) {
    bool safe = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+=:,@%", c);
    });
    if (safe) return word;
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
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

std::string describe_wait_status(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        return "killed by signal " + std::to_string(sig) +
               (name ? " (" + std::string(name) + ")" : "");
    }
    return "ended with wait status " + std::to_string(status);
}

StartOptions local_start(const std::string& agent_path) {
    StartOptions options;
    options.argv = {agent_path, "serve"};
    // A Ctrl-C at the terminal then reaches only the caller, whose end of input makes the
    // agent hang up the programs it runs; an agent killed by the same signal could not.
    options.own_process_group = true;
    return options;
}

StartOptions ssh_start(const std::string& host, const std::string& remote_agent,
                       const std::vector<std::string>& ssh_options) {
    if (host.empty() || host[0] == '-')
        throw std::invalid_argument("not a host name: \"" + host + "\"");
    StartOptions options;
    // ssh hands the remote command to the remote user's shell, so it is one quoted string.
    // A leading "~/" stays outside the quotes so the remote shell still expands it.
    std::string command = remote_agent.rfind("~/", 0) == 0
                              ? "~/" + shell_quote(remote_agent.substr(2))
                              : shell_quote(remote_agent);
    options.argv = {"ssh"};
    options.argv.insert(options.argv.end(), ssh_options.begin(), ssh_options.end());
    options.argv.insert(options.argv.end(), {"--", host, command + " serve"});
    options.through_ssh = true;
    options.capture_stderr = false;
    return options;
}

AgentClient::AgentClient(const std::string& agent_path) {
    start(local_start(agent_path));
}

AgentClient::AgentClient(const StartOptions& options) {
    start(options);
}

void AgentClient::start(const StartOptions& options) {
    if (options.argv.empty()) throw std::runtime_error("cannot start agent: empty command");
    SpawnOptions spawn;
    spawn.argv = options.argv;
    if (std::optional<std::string> path = path_set_for_child(options.env))
        spawn.argv[0] = resolve_program(options.argv[0], *path);
    spawn.cwd = options.cwd;
    spawn.env = options.env;
    spawn.err = options.capture_stderr ? Stdio::pipe : Stdio::inherit;
    spawn.own_process_group = options.own_process_group;
    through_ssh_ = options.through_ssh;
    // spawn_child gives the agent (or ssh) a clean slate: the caller may block or ignore
    // signals (a tool waiting for SIGINT, a program ignoring SIGPIPE).
    if (int e = spawn_child(spawn, child_))
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(e));
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

// Like read_frame, but the payload goes to the sink's file as it arrives. After a failed write
// the rest is still read (the stream stays in step) and the first error kept.
bool AgentClient::read_body_into(const char* len, BodySink& sink) {
    const std::uint32_t n = get_be32(len);
    ProgressHandler progress = progress_for(n);
    std::string chunk(std::min<std::size_t>(n, kChunk), '\0');
    for (std::size_t done = 0, got = 0; done < n; done += got) {
        if (read_some(out_.get(), stop_r_.get(), chunk.data(), std::min(chunk.size(), n - done),
                      got) != ReadResult::ok)
            return false;
        if (sink.err == 0 && !write_all_blocking_sigpipe(sink.fd, {{chunk.data(), got}}, {}))
            sink.err = errno;
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
        std::shared_ptr<BodySink> sink;
        if (!header->method) {
            std::lock_guard<std::mutex> lock(mu_);
            if (auto it = sinks_.find(header->id); it != sinks_.end()) {
                if (!header->error) sink = it->second;
                sinks_.erase(it);
            }
        }
        if (read_exact(fd, stop, len, 4) != ReadResult::ok ||
            !(sink ? read_body_into(len, *sink) : read_frame(len, m.body)))
            return finish("its output ended inside a message");
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
    text += status ? "; it " + describe_wait_status(*status) : "; it is still running";
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

std::uint64_t AgentClient::send_message(std::string_view method, const nlohmann::json& data,
                                        const BodySource& body,
                                        const std::shared_ptr<BodySink>& sink) {
    refuse_invalid_utf8(data);
    if (!is_valid_utf8(method)) (void)nlohmann::json(std::string(method)).dump();
    const std::uint64_t len = body.fd >= 0 ? body.len : body.bytes.size();
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
        sinks_[header.id] = sink;
    }
    if (body.fd >= 0)
        write_request_from_fd(head, body.fd, len);
    else
        write_request(head, body.bytes);
    return header.id;
}

std::uint64_t AgentClient::send(std::string_view method, const nlohmann::json& data,
                                std::string_view body) {
    return send_message(method, data, BodySource{body}, nullptr);
}

std::uint64_t AgentClient::send_from_fd(std::string_view method, const nlohmann::json& data, int fd,
                                        std::uint64_t len) {
    return send_message(method, data, BodySource{{}, fd, len}, nullptr);
}

Message AgentClient::request_into_fd(std::string_view method, const nlohmann::json& data, int fd) {
    auto sink = std::make_shared<BodySink>();
    sink->fd = fd;
    std::uint64_t id = send_message(method, data, BodySource{}, sink);
    Message m;
    try {
        m = await(id, method, std::nullopt);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mu_);
        sinks_.erase(id);
        throw;
    }
    // The reader is done with the sink once the reply is delivered (deliver() took mu_).
    if (sink->err) throw std::system_error(sink->err, std::generic_category());
    return m;
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

Message AgentClient::wait_for(std::uint64_t id, std::string_view method) {
    return await(id, method, std::nullopt);
}

Message AgentClient::call(std::string_view method, const nlohmann::json& data,
                          std::string_view body, std::chrono::milliseconds timeout) {
    std::uint64_t id = send(method, data, body);
    return await(id, method, std::chrono::steady_clock::now() + timeout);
}

Message AgentClient::request(std::string_view method, const nlohmann::json& data,
                             std::string_view body) {
    std::uint64_t id = send(method, data, body);
    return await(id, method, std::nullopt);
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

bool AgentClient::output_ended() {
    std::lock_guard<std::mutex> lock(mu_);
    return ended_;
}

std::optional<std::string> AgentClient::failure() {
    std::lock_guard<std::mutex> lock(mu_);
    return failure_;
}

std::string AgentClient::stderr_text() {
    std::unique_lock<std::mutex> lock(mu_);
    bool exited;
    {
        std::lock_guard<std::mutex> exit_lock(exit_mu_);
        exited = child_.ended();
    }
    // After the exit the pipe reaches end of file promptly unless a grandchild holds it.
    if (exited) cv_.wait_for(lock, std::chrono::seconds(2), [&] { return err_done_; });
    return err_text_;
}

}  // namespace vesk::client
