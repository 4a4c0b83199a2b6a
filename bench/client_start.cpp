// The client's own entry (app/main.cpp) with a probe that ends the run once
// the filing notice Form4 has been painted: the time from process start to
// the notice on the screen, for kgbench_start.

#include "app/application.h"
#include "firstpaint.h"
#include "notice/unit4.h"

int main(int argc, char *argv[]) {
  TApplication app(argc, argv);
  bench::FirstPaint probe([] { return static_cast<QWidget *>(Form4); });
  app.installEventFilter(&probe);
  return runClient(app);
}
