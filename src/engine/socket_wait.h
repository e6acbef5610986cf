#pragma once

// Waiting on one socket, the same on every platform, for the adapters that run a socket of
// their own (the SSH connection, the FTP times login).

#include <cstdint>

namespace bxfr::engine {

enum SocketEvents : int { kReadable = 1, kWritable = 2 };

// Waits until the socket is ready for one of `events`, at most `milliseconds`. Returns what the
// system's poll did: > 0 ready, 0 timed out, < 0 failed (errno says why).
int WaitOnSocket(std::intptr_t socket, int events, int milliseconds);

}  // namespace bxfr::engine
