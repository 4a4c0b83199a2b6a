#pragma once
// A relay on loopback that holds every byte a fixed time before passing it
// on, in both directions: a district's network between the clients and the
// server, where traffic shaping is not available. One thread serves every
// connection.
//
// A network does not wait for a turn on the machine's cores. The relay's
// thread asks for a real-time priority (SCHED_FIFO, allowed to root or with
// CAP_SYS_NICE) so that hundreds of busy client and server processes on the
// same cores do not hold the traffic back; whether it got it, and how late
// it passed pieces on, is reported so that a run can be judged.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
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
  bool realTime() const { return m_realTime; }

  // How late pieces were passed on after their due time, since the last
  // reset: counted in buckets of 0.1 ms up to 1 s.
  struct Lateness {
    std::int64_t pieces = 0;
    double p99Ms = 0;
    double maxMs = 0;
    std::int64_t overOneMs = 0; // pieces passed on more than 1 ms late
  };
  Lateness lateness() const;
  void resetLateness();

private:
  void run();
  void note(std::int64_t lateNs);
  int m_serverPort;
  int m_delayMs;
  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_realTime{false};
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::array<std::int64_t, 10001> m_late{}; // [i]: late by i * 0.1 ms; the last: 1 s or more
  std::int64_t m_maxLateNs = 0;
  std::thread m_thread;
};
