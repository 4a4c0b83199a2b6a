// The client's own entry (app/main.cpp) with a probe that ends the run once
// the filing notice Form4 has been painted: the time from process start to
// the notice on the screen, for kgbench_start.
//
// With --stages it also prints, before that line, when each step of the
// start began (CLOCK_MONOTONIC ns), told from the first event each window
// receives while it is being built:
//   stages main=.. application=.. form1=.. form2=.. form3=.. form4=.. shown=.. gate=.. notice=..

#include "app/application.h"
#include "firstpaint.h"
#include "notice/unit4.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class Stages : public QObject {
public:
  void mark(const char *name) { m_line += std::string(" ") + name + "=" + std::to_string(bench::paintClockNs()); }
  bool eventFilter(QObject *watched, QEvent *event) override {
    static const char *const windows[] = {"TForm1", "TForm2", "TForm3", "TForm4"};
    static const char *const names[] = {"form1", "form2", "form3", "form4"};
    const char *type = watched->metaObject()->className();
    for (int i = m_next; i < 4; ++i) {
      if (std::strcmp(type, windows[i]) == 0) {
        mark(names[i]);
        m_next = i + 1;
      }
    }
    if (event->type() == QEvent::Show && std::strcmp(type, "TForm1") == 0 && !m_shown) {
      m_shown = true;
      mark("shown");
    }
    if (event->type() == QEvent::WindowActivate && std::strcmp(type, "TForm1") == 0 && !m_gate) {
      m_gate = true;
      mark("gate");
    }
    if (event->type() == QEvent::Show && std::strcmp(type, "TForm4") == 0 && !m_notice) {
      m_notice = true;
      mark("notice");
      std::printf("stages%s\n", m_line.c_str());
      std::fflush(stdout);
    }
    return false;
  }

private:
  std::string m_line;
  int m_next = 0;
  bool m_shown = false;
  bool m_gate = false;
  bool m_notice = false;
};

} // namespace

int main(int argc, char *argv[]) {
  Stages stages;
  stages.mark("main");
  const bool withStages = argc > 1 && std::strcmp(argv[1], "--stages") == 0;
  TApplication app(argc, argv);
  stages.mark("application");
  if (withStages)
    app.installEventFilter(&stages);
  bench::FirstPaint probe([] { return static_cast<QWidget *>(Form4); });
  app.installEventFilter(&probe);
  return runClient(app);
}
