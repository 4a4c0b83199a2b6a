#pragma once
// The store's waits on its server's socket, the same on every platform:
// poll() on Linux, WSAPoll() on Windows.

#include <QtGlobal>

namespace socketwait {

enum class Wait { Readable, TimedOut, Failed };

// Waits until the socket has something to read (data, or the end of the
// connection), at most timeoutMs milliseconds; 0 only looks, a negative time
// waits for as long as it takes. An interrupted
// wait goes on for the time that is left.
Wait readable(qintptr socket, int timeoutMs);

// Makes the socket's close a reset: what the client has sent and the server
// has not taken yet is dropped, instead of reaching the server whenever the
// network lets it through.
void resetOnClose(qintptr socket);

} // namespace socketwait
