// The smallest Qt Widgets program: one window shown, ended once it has been
// painted. The reference of kgbench_start.

#include "firstpaint.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(400, 300);
  bench::FirstPaint probe([&] { return &window; });
  app.installEventFilter(&probe);
  window.show();
  return app.exec();
}
