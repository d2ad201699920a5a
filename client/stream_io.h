// Blocking reads and writes of the agent's pipes, for the session's threads
// (client/agent_client.cpp).
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vesk::client {

// The most read or written in one system call.
inline constexpr std::size_t kChunk = 1u << 20;

// Writes the pieces in order without letting a vanished reader raise SIGPIPE in the caller's
// process (a library must not change its host's signal handling, and the caller may not ignore
// SIGPIPE): the signal is blocked for this thread during the write and a pending one consumed.
// on_chunk gets the bytes done so far, across all pieces. On failure errno is the write's.
bool write_all_blocking_sigpipe(int fd, std::initializer_list<std::string_view> pieces,
                                const std::function<void(std::size_t)>& on_chunk);

// ended: the descriptor reached its end or failed; stopped: stop_fd became readable first.
enum class ReadResult { ok, end, stopped };

// Reads up to n bytes into p once the descriptor is readable, their count into got.
ReadResult read_some(int fd, int stop_fd, char* p, std::size_t n, std::size_t& got);
// Reads exactly n bytes.
ReadResult read_exact(int fd, int stop_fd, char* p, std::size_t n);
// Appends the rest of a payload of n bytes to out. The buffer grows with the bytes that
// arrive, never to the announced length at once: a corrupt length costs what was sent, not
// what it claims.
ReadResult read_payload(int fd, int stop_fd, std::string& out, std::size_t n,
                        const std::function<void(std::size_t)>& on_chunk);

}  // namespace vesk::client
