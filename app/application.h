#pragma once
// The application object: title, font substitutes, and the error box for
// exceptions that escape an event handler.

#include <QApplication>

class TApplication : public QApplication {
  Q_OBJECT
public:
  TApplication(int &argc, char **argv);
  bool notify(QObject *receiver, QEvent *event) override;

  // Show an exception's text in the error box (full stop appended when its
  // last character sorts after ".").
  static void showException(const std::exception *error);
};

extern const char *const kApplicationTitle;

// Program entry after the application object exists: creates Form1 to Form4
// in order and runs the event loop until the main window closes.
int runClient(TApplication &app);
// Destroys Form4 to Form1, the reverse of their creation, and leaves the four
// names null.
void destroyWindows();
