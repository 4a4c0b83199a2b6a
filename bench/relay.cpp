#include "relay.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(std::uint16_t(port));
  return address;
}

void noDelay(int socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One direction of a connection: what was read, each piece with the time it
// may be passed on.
struct Direction {
  int from = -1;
  int to = -1;
  std::deque<std::pair<Clock::time_point, std::string>> held;
  bool ended = false; // the sending end closed
};

struct Link {
  Direction up;   // client to server
  Direction down; // server to client
  bool closed = false;
};

} // namespace

DelayRelay::DelayRelay(int serverPort, int delayMs) : m_serverPort(serverPort), m_delayMs(delayMs) {
  m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = loopback(0);
  ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
  ::listen(m_listener, 1024);
  socklen_t size = sizeof address;
  ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size);
  m_port = ntohs(address.sin_port);
  m_thread = std::thread([this] { run(); });
}

DelayRelay::~DelayRelay() {
  m_stop = true;
  m_thread.join();
  ::close(m_listener);
}

void DelayRelay::run() {
  const auto delay = std::chrono::milliseconds(m_delayMs);
  std::vector<std::unique_ptr<Link>> links;
  std::vector<pollfd> sockets;
  std::vector<Direction *> owners;
  while (!m_stop) {
    // Pass on what is due; find when the next piece is.
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::milliseconds(50);
    for (auto &link : links) {
      for (Direction *direction : {&link->up, &link->down}) {
        while (!direction->held.empty() && direction->held.front().first <= now) {
          const std::string &piece = direction->held.front().second;
          const ssize_t sent = ::send(direction->to, piece.data(), piece.size(), MSG_NOSIGNAL);
          if (sent < 0) {
            link->closed = true;
            break;
          }
          if (std::size_t(sent) < piece.size()) {
            direction->held.front().second.erase(0, std::size_t(sent));
            break; // the rest when the socket takes it
          }
          direction->held.pop_front();
        }
        if (!direction->held.empty())
          next = std::min(next, std::max(direction->held.front().first, now + std::chrono::milliseconds(1)));
        else if (direction->ended)
          link->closed = true; // everything passed on: the other end closes too
      }
    }
    std::erase_if(links, [](const std::unique_ptr<Link> &link) {
      if (!link->closed)
        return false;
      ::close(link->up.from);
      ::close(link->down.from);
      return true;
    });

    sockets.assign(1, pollfd{m_listener, POLLIN, 0});
    owners.assign(1, nullptr);
    for (auto &link : links) {
      for (Direction *direction : {&link->up, &link->down}) {
        if (!direction->ended) {
          sockets.push_back({direction->from, POLLIN, 0});
          owners.push_back(direction);
        }
      }
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    if (::poll(sockets.data(), sockets.size(), int(std::max<long long>(0, wait))) <= 0)
      continue;
    const Clock::time_point read = Clock::now();
    for (std::size_t i = 1; i < sockets.size(); ++i) {
      if (!(sockets[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[65536];
      const ssize_t got = ::recv(sockets[i].fd, buffer, sizeof buffer, 0);
      if (got <= 0)
        owners[i]->ended = true;
      else
        owners[i]->held.emplace_back(read + delay, std::string(buffer, std::size_t(got)));
    }
    if (sockets[0].revents & POLLIN) {
      const int client = ::accept(m_listener, nullptr, nullptr);
      if (client < 0)
        continue;
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = loopback(m_serverPort);
      if (::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(client);
        ::close(server);
        continue;
      }
      noDelay(client);
      noDelay(server);
      auto link = std::make_unique<Link>();
      link->up.from = client;
      link->up.to = server;
      link->down.from = server;
      link->down.to = client;
      links.push_back(std::move(link));
    }
  }
  for (auto &link : links) {
    ::close(link->up.from);
    ::close(link->down.from);
  }
}
