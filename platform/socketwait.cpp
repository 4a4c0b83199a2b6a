#include "platform/socketwait.h"

#include <QDeadlineTimer>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace socketwait {

Wait readable(qintptr socket, int timeoutMs) {
  const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
  for (;;) {
#ifdef Q_OS_WIN
    WSAPOLLFD entry{SOCKET(socket), POLLRDNORM, 0};
    const int ready = WSAPoll(&entry, 1, int(deadline.remainingTime()));
    const bool interrupted = ready == SOCKET_ERROR && WSAGetLastError() == WSAEINTR;
#else
    pollfd entry{int(socket), POLLIN, 0};
    const int ready = ::poll(&entry, 1, int(deadline.remainingTime()));
    const bool interrupted = ready < 0 && errno == EINTR;
#endif
    if (interrupted && !deadline.hasExpired())
      continue;
    if (ready > 0)
      return Wait::Readable;
    return ready == 0 || interrupted ? Wait::TimedOut : Wait::Failed;
  }
}

void resetOnClose(qintptr socket) {
  const linger now{1, 0};
#ifdef Q_OS_WIN
  ::setsockopt(SOCKET(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now), int(sizeof now));
#else
  ::setsockopt(int(socket), SOL_SOCKET, SO_LINGER, &now, sizeof now);
#endif
}

} // namespace socketwait
