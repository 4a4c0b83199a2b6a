#include "relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

// The relay's cost must not grow with the number of connections: hundreds
// of clients each wait most of the time. Sockets sit in an epoll set and are
// only touched when they have something; every piece read goes into one
// queue, which is in order of due time because the delay is the same for
// all; a timer fires when the first piece is due.

namespace {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC on Linux, as the timer

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(std::uint16_t(port));
  return address;
}

// No Nagle delay, and never blocking the one thread on a full socket.
void prepare(int socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
}

struct Link;

// One direction of a connection.
struct Direction {
  Link *link = nullptr;
  int from = -1;
  int to = -1;
  std::string unsent; // due already, waiting for room on `to`
};

struct Link : std::enable_shared_from_this<Link> {
  Direction up;   // client to server
  Direction down; // server to client
  bool closed = false;
  int client() const { return up.from; }
  int server() const { return down.from; }
};

// What is read, with the time it may be passed on; an empty piece is the
// end of its direction.
struct Piece {
  Clock::time_point due;
  std::shared_ptr<Link> link;
  Direction *direction;
  std::string bytes;
};

// The epoll entry of a socket: the direction reading from it. The direction
// writing to it is the other one of the link.
Direction *other(Direction *direction) {
  Link *link = direction->link;
  return direction == &link->up ? &link->down : &link->up;
}

} // namespace

DelayRelay::DelayRelay(int serverPort, int delayMs) : m_serverPort(serverPort), m_delayMs(delayMs) {
  // Every socket closes on exec: the client processes started later must not
  // hold the relay's connections open.
  m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = loopback(0);
  ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
  ::listen(m_listener, 1024);
  socklen_t size = sizeof address;
  ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size);
  m_port = ntohs(address.sin_port);
  m_thread = std::thread([this] {
    sched_param priority{};
    priority.sched_priority = 10;
    m_realTime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
    run();
  });
}

DelayRelay::~DelayRelay() {
  m_stop = true;
  m_thread.join();
  ::close(m_listener);
}

void DelayRelay::note(std::int64_t lateNs) {
  const std::lock_guard<std::mutex> lock(m_mutex);
  const std::int64_t bucket =
      std::min<std::int64_t>(std::int64_t(m_late.size()) - 1, std::max<std::int64_t>(0, lateNs / 100000));
  ++m_late[std::size_t(bucket)];
  m_maxLateNs = std::max(m_maxLateNs, lateNs);
}

DelayRelay::Lateness DelayRelay::lateness() const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  Lateness result;
  for (std::int64_t count : m_late)
    result.pieces += count;
  std::int64_t seen = 0;
  bool p99 = false;
  for (std::size_t i = 0; i < m_late.size(); ++i) {
    seen += m_late[i];
    if (!p99 && result.pieces > 0 && seen * 100 >= result.pieces * 99) {
      result.p99Ms = double(i + 1) / 10;
      p99 = true;
    }
    if (i >= 10)
      result.overOneMs += m_late[i];
  }
  result.maxMs = double(m_maxLateNs) / 1e6;
  return result;
}

void DelayRelay::resetLateness() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  m_late.fill(0);
  m_maxLateNs = 0;
}

void DelayRelay::run() {
  const auto delay = std::chrono::milliseconds(m_delayMs);
  const int events = ::epoll_create1(EPOLL_CLOEXEC);
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  epoll_event entry{};
  entry.events = EPOLLIN;
  entry.data.ptr = nullptr; // the listener
  ::epoll_ctl(events, EPOLL_CTL_ADD, m_listener, &entry);
  entry.data.ptr = &entry; // the timer (any address that is no direction)
  ::epoll_ctl(events, EPOLL_CTL_ADD, timer, &entry);
  void *const timerTag = &entry;

  std::vector<std::shared_ptr<Link>> links;
  std::deque<Piece> queue;
  Clock::time_point armed{};
  bool anyClosed = false; // links to drop from the list

  auto close = [&](Link &link) {
    if (link.closed)
      return;
    link.closed = true;
    anyClosed = true;
    for (int socket : {link.client(), link.server()}) {
      ::epoll_ctl(events, EPOLL_CTL_DEL, socket, nullptr);
      ::close(socket);
    }
  };
  auto watch = [&](Direction *direction) {
    // Reading from `from`, and writing to `to` while something waits for room.
    epoll_event change{};
    change.events = EPOLLIN | (other(direction)->unsent.empty() ? 0u : unsigned(EPOLLOUT));
    change.data.ptr = direction;
    ::epoll_ctl(events, EPOLL_CTL_MOD, direction->from, &change);
  };
  // Passes on what waits for a direction; false while the socket is full.
  auto flush = [&](Direction *direction) {
    while (!direction->unsent.empty()) {
      const ssize_t sent = ::send(direction->to, direction->unsent.data(), direction->unsent.size(), MSG_NOSIGNAL);
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
      if (sent < 0) {
        close(*direction->link);
        return true;
      }
      direction->unsent.erase(0, std::size_t(sent));
    }
    return true;
  };

  epoll_event ready[256];
  while (!m_stop) {
    // Pass on what is due, in order.
    const Clock::time_point now = Clock::now();
    while (!queue.empty() && queue.front().due <= now) {
      Piece piece = std::move(queue.front());
      queue.pop_front();
      if (piece.link->closed)
        continue;
      Direction *direction = piece.direction;
      if (piece.bytes.empty()) { // the sender closed: so does the relay, once all is passed on
        close(*piece.link);
        continue;
      }
      note(std::chrono::duration_cast<std::chrono::nanoseconds>(now - piece.due).count());
      const bool waiting = !direction->unsent.empty();
      direction->unsent += piece.bytes;
      if (!waiting && !flush(direction) && !piece.link->closed)
        watch(other(direction)); // room on `to` is reported on the other direction's entry
    }
    // Only when one closed: a scan of every link at each wake-up would grow
    // with the connections.
    if (anyClosed) {
      std::erase_if(links, [](const std::shared_ptr<Link> &link) { return link->closed; });
      anyClosed = false;
    }

    // The timer for the next piece due; at most a tenth of a second so that
    // a stop is seen.
    const Clock::time_point next = queue.empty() ? now + std::chrono::milliseconds(100)
                                                 : std::min(queue.front().due, now + std::chrono::milliseconds(100));
    if (next != armed) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
      itimerspec when{};
      when.it_value.tv_sec = time_t(ns / 1000000000);
      when.it_value.tv_nsec = long(ns % 1000000000);
      ::timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr);
      armed = next;
    }

    const int count = ::epoll_wait(events, ready, int(std::size(ready)), -1);
    if (count < 0)
      continue; // EINTR
    const Clock::time_point read = Clock::now();
    for (int i = 0; i < count; ++i) {
      void *tag = ready[i].data.ptr;
      if (tag == timerTag) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t got = ::read(timer, &expirations, sizeof expirations);
        armed = {};
        continue;
      }
      if (tag == nullptr) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
          continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(m_serverPort);
        if (::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
          ::close(client);
          ::close(server);
          continue;
        }
        prepare(client);
        prepare(server);
        auto link = std::make_shared<Link>();
        link->up = {link.get(), client, server, {}};
        link->down = {link.get(), server, client, {}};
        for (Direction *direction : {&link->up, &link->down}) {
          epoll_event add{};
          add.events = EPOLLIN;
          add.data.ptr = direction;
          ::epoll_ctl(events, EPOLL_CTL_ADD, direction->from, &add);
        }
        links.push_back(std::move(link));
        continue;
      }
      Direction *direction = static_cast<Direction *>(tag);
      Link &link = *direction->link;
      if (link.closed)
        continue;
      const std::shared_ptr<Link> owner = link.shared_from_this();
      if (ready[i].events & EPOLLOUT) {
        // Room again on this socket: what the other direction holds for it.
        if (flush(other(direction)) && !link.closed)
          watch(direction);
      }
      if (link.closed || !(ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        continue;
      char buffer[65536];
      const ssize_t got = ::recv(direction->from, buffer, sizeof buffer, 0);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        continue;
      if (got <= 0) {
        // The end, passed on after the delay like the bytes before it; the
        // socket is read no more.
        ::epoll_ctl(events, EPOLL_CTL_DEL, direction->from, nullptr);
        queue.push_back({read + delay, owner, direction, {}});
        continue;
      }
      queue.push_back({read + delay, owner, direction, std::string(buffer, std::size_t(got))});
    }
  }
  for (auto &link : links)
    close(*link);
  ::close(timer);
  ::close(events);
}
