#pragma once
// A relay on loopback that holds every byte a fixed time before passing it
// on, in both directions: a district's network between the clients and the
// server, where traffic shaping is not available. One thread serves every
// connection.

#include <atomic>
#include <thread>

class DelayRelay {
public:
  // Forwards connections made to port() to 127.0.0.1:serverPort, each byte
  // delayed by delayMs in each direction.
  DelayRelay(int serverPort, int delayMs);
  ~DelayRelay();
  DelayRelay(const DelayRelay &) = delete;
  DelayRelay &operator=(const DelayRelay &) = delete;
  int port() const { return m_port; }

private:
  void run();
  int m_serverPort;
  int m_delayMs;
  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};
