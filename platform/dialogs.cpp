#include "platform/dialogs.h"

#include "core/convert.h"

#include <QApplication>
#include <QCloseEvent>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QWindow>

namespace dialogs {

namespace {
QString g_caption;
Responder g_responder;

// The client's windows in the order they were last active, newest last.
QList<QPointer<QWidget>> g_activeWindows;

void noteActiveWindow(QWindow *window) {
  QWidget *active = window ? QApplication::activeWindow() : nullptr;
  if (!active || qobject_cast<QMessageBox *>(active))
    return;
  g_activeWindows.removeAll(QPointer<QWidget>(active));
  g_activeWindows.removeAll(QPointer<QWidget>());
  g_activeWindows.append(active);
}

// The window a box belongs to: the one the guardian is working in. Right
// after another box closed, or after the window the guardian was working in
// closed, no window is active yet; the box then belongs to the window that
// was active last and is still shown.
QWidget *owner() {
  if (QWidget *active = QApplication::activeWindow())
    return active;
  for (qsizetype i = g_activeWindows.size() - 1; i >= 0; --i) {
    QWidget *window = g_activeWindows.at(i);
    if (window && window->isVisible() && !window->isMinimized())
      return window;
  }
  return nullptr;
}

// A Yes/No dialog left through its title bar, Alt+F4 or any other close
// request of the window manager closes without an answer (Qt would take the
// escape button, No, for it).
class CloseWithoutAnswer : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *watched, QEvent *event) override {
    auto *box = static_cast<QMessageBox *>(watched);
    if (event->type() == QEvent::Close && !box->clickedButton()) {
      event->accept();
      box->done(0);
      return true;
    }
    return false;
  }
};

// Every box stands above every window of the client (the application form
// stays on top of the desktop) and takes the keyboard focus once mapped.
class ActivateWhenShown : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (event->type() == QEvent::Show) {
      auto *box = static_cast<QWidget *>(watched);
      box->raise();
      box->activateWindow();
    }
    return false;
  }
};

Answer show(Kind kind, const QString &text) {
  const QString title = kind == Kind::YesNo ? QStringLiteral("Warning") : caption();
  if (g_responder)
    return g_responder({kind, text, title});
  QMessageBox box(kind == Kind::Error   ? QMessageBox::Critical
                  : kind == Kind::YesNo ? QMessageBox::Warning
                                        : QMessageBox::NoIcon,
                  title, displayText(text), QMessageBox::NoButton, owner());
  box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  box.setTextFormat(Qt::PlainText);
  box.setAccessibleName(title);
  box.setAccessibleDescription(text);
  ActivateWhenShown activate;
  box.installEventFilter(&activate);
  if (kind == Kind::YesNo) {
    QPushButton *yes = box.addButton(QMessageBox::Yes);
    QPushButton *no = box.addButton(QMessageBox::No);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    yes->setText(QStringLiteral("&Yes"));
    no->setText(QStringLiteral("&No"));
    CloseWithoutAnswer closing;
    box.installEventFilter(&closing);
    box.exec();
    if (box.clickedButton() == yes)
      return Answer::Yes;
    if (box.clickedButton() == no)
      return Answer::No;
    return Answer::Closed;
  }
  box.addButton(QMessageBox::Ok);
  box.exec();
  return Answer::Ok;
}
} // namespace

void followActiveWindow() {
  static QMetaObject::Connection following;
  if (!following)
    following = QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged, qGuiApp, &noteActiveWindow);
}

QString caption() { return g_caption.isEmpty() ? QApplication::applicationDisplayName() : g_caption; }
void setCaption(const QString &text) { g_caption = text; }

void message(const QString &text) { show(Kind::Message, text); }
Answer yesNo(const QString &text) { return show(Kind::YesNo, text); }
void error(const QString &text) { show(Kind::Error, text); }

void escaped(const std::exception *exception) {
  error(errorBoxText(exception ? QString::fromUtf8(exception->what()) : QString()));
}

void setResponder(Responder responder) { g_responder = std::move(responder); }
void clearResponder() { g_responder = nullptr; }

QString displayText(const QString &text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

} // namespace dialogs
