#pragma once
// Every message box and Yes/No dialog of the system goes through here.
// Production shows real QMessageBoxes; a test installs a script that answers
// them and records each box's kind and exact text.

#include <QList>
#include <QString>
#include <functional>
#include <stdexcept>

namespace dialogs {

enum class Kind { Message, YesNo, Error };
enum class Answer { Ok, Yes, No, Closed };

struct Shown {
  Kind kind;
  QString text;
  QString caption;
};

// The caption of plain message boxes and of the error box: the application
// title.
QString caption();
void setCaption(const QString &caption);

// Every box is owned by the window the guardian is working in, stands above
// every window of the client and takes the keyboard focus. The owner is the
// active window, or right after a box or a window closed, the window that was
// active last and is still shown: call once the application object exists.
void followActiveWindow();

// Plain box: the text, one OK button, the application title as caption.
void message(const QString &text);
// Warning icon, Yes (default) and No (also Escape). Leaving it any other way
// (its title bar's close, Alt+F4, a window manager's close request) answers
// Closed, which goes on as Yes.
Answer yesNo(const QString &text);
// Stop icon, OK, the application title as caption.
void error(const QString &text);
// The error box for an exception that escaped an event handler: its text,
// with a full stop appended when its last character sorts after "." (no
// text for an exception that is not a std::exception).
void escaped(const std::exception *exception);

// The seam. With a responder installed no real box is shown: the responder
// is asked for the answer (and may act, e.g. check the window state while the
// box would be open).
using Responder = std::function<Answer(const Shown &)>;
void setResponder(Responder responder);
void clearResponder();

// Text as a box displays it: \r\n and single \r become line breaks. The box
// keeps the exact text as its accessible description.
QString displayText(const QString &text);

} // namespace dialogs
