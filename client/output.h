// What every command of the vesk tool shares: writing standard output and errors (JSON or
// text), reading a request body from standard input, the progress bar, and the temporary
// files an interrupted run must not leave behind.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "client/progress.h"

namespace vesk::cli {

// Standard output failed with errno value err. Thrown past everything, so that the agent is
// closed and nothing more is attempted; a reader that went away (EPIPE) is no error.
struct OutputFailed {
    int err;
};

// Ends the run with this status, everything said.
struct ExitWith {
    int status;
};

// A request the tool itself declines to send; the text says why.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Held by whoever writes standard output around the client's own writes to descriptor 1.
extern std::mutex out_mu;
void write_out(std::string_view bytes);
// Standard error, on a line of its own after a progress bar.
void write_err(std::string_view bytes);
// JSON output never fails on bytes that are not UTF-8 (file names, program output).
std::string dump(const nlohmann::json& j, int indent = -1);
// Bytes as the inside of a JSON string, written in pieces: a large body is never escaped whole.
void write_json_text(std::string_view bytes);

// With --json, errors are JSON too: {"error": TEXT} on standard output, one line each (not for
// commands whose standard output is a file's bytes).
extern bool json_errors;
void complain(const std::string& text);

// The bar on a terminal's standard error, or nothing.
extern std::shared_ptr<ProgressBar> progress_bar;

// Set at start-up when the caller closed our standard input (/dev/null then holds its place).
extern bool stdin_was_closed;
// Standard input as a body is a pipe's or a regular file's; nothing else (a terminal, a
// device such as /dev/null) can be meant as one.
bool stdin_is_data();
std::runtime_error too_large_for_agent(const std::string& name);
// The bytes of a regular file from fd's offset to its end, or nothing for other kinds.
std::optional<std::uint64_t> regular_file_rest(int fd);
// A request body, read whole from fd (a pipe, a device). Anything that keeps it from being
// the whole input (a read error, a closed descriptor, more than one request can carry) fails
// before a request is sent, so nothing is written remotely in its place.
std::string read_all(int fd, const std::string& name);

// Files an interrupted run removes: SIGINT, SIGTERM and SIGHUP are taken by a thread of their
// own (guard_signals() runs before any other thread starts), which removes what is listed,
// then ends the tool by the same signal.
void guard_signals();
void forget_on_signal(const std::string& path);
void remove_on_signal(const std::string& path);

}  // namespace vesk::cli
