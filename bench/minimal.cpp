// The smallest Qt Widgets program, the reference of kgbench_start: Qt's own
// hello world, one label window with a line of text, ended once it has been
// painted. With --blank the window is an empty widget (no text, so no font
// is ever loaded).

#include "firstpaint.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>
#include <memory>

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  const bool blank = argc > 1 && std::strcmp(argv[1], "--blank") == 0;
  std::unique_ptr<QWidget> window(blank ? new QWidget : new QLabel(QStringLiteral("Hello world!")));
  window->resize(400, 300);
  bench::FirstPaint probe([&] { return window.get(); });
  app.installEventFilter(&probe);
  window->show();
  return app.exec();
}
