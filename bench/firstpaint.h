#pragma once
// Notes the moment a window has been painted for the first time. At the
// first paint event of the watched window or of one of its children, a
// queued call (it runs once the whole window has been painted) prints
//   painted <CLOCK_MONOTONIC ns> <VmHWM KiB>
// on stdout and ends the event loop. Installed on the application, it sees
// every window's events.

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>

namespace bench {

// Kept free of the client library, so that the minimal program links Qt
// Widgets alone.
inline long long paintClockNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline long paintPeakKiB() {
  long kib = -1;
  if (FILE *status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      if (std::strncmp(line, "VmHWM:", 6) == 0)
        kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
  }
  return kib;
}

class FirstPaint : public QObject {
public:
  explicit FirstPaint(std::function<QWidget *()> window) : m_window(std::move(window)) {}

  bool eventFilter(QObject *watched, QEvent *event) override {
    if (m_done || event->type() != QEvent::Paint || !watched->isWidgetType())
      return false;
    QWidget *target = m_window();
    if (!target || static_cast<QWidget *>(watched)->window() != target)
      return false;
    m_done = true;
    QMetaObject::invokeMethod(
        this,
        [] {
          std::printf("painted %lld %ld\n", paintClockNs(), paintPeakKiB());
          std::fflush(stdout);
          QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
    return false;
  }

private:
  std::function<QWidget *()> m_window;
  bool m_done = false;
};

} // namespace bench
