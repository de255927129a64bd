// Local stream sockets for the agent's control channel: a Unix socket in the
// agent's own data folder, reachable only by processes of the same user.
// The folder's mode (0700) keeps other users out of the path; the socket
// file is 0600 besides, and every accepted peer's user id is read from the
// kernel (SO_PEERCRED) for the caller to check.
//
// Each call works on the descriptor it is given; any thread may use its own
// descriptors. Errors come back as "context: cause" text.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace halvex {

// Listens at `path`, replacing a socket file left there by an earlier run
// (nothing else: another kind of file is an error). The socket is 0600.
std::optional<int> local_listen(const std::string& path, std::string* error);

// Waits for the next connection; sets *peer_uid to the connecting
// process's user id. nullopt and *error on failure.
std::optional<int> local_accept(int listener, uint32_t* peer_uid, std::string* error);

// Connects to the socket at `path`.
std::optional<int> local_connect(const std::string& path, std::string* error);

// Reads what is there, at most `capacity` bytes, waiting up to
// `timeout_ms` (-1: no limit). Returns the byte count (0 at end of stream),
// or -1 on error or time-out.
int local_read(int fd, char* buffer, size_t capacity, int timeout_ms);

// Writes all of `text`; false when the peer has gone.
bool local_write(int fd, const std::string& text);

void local_close(int fd);

// The effective user id of this process.
uint32_t local_user_id();

}  // namespace halvex
