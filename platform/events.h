#pragma once
// The control events the windows' handlers are written against: key down with
// a virtual-key code and shift state, mouse down with its button, click and
// double-click. One hook per control turns Qt's events into these calls.

#include <QObject>
#include <QVariant>
#include <functional>

class QKeyEvent;
class QWidget;

// Virtual-key codes the system tests.
namespace vk {
constexpr quint16 Return = 13;
constexpr quint16 V = 86;
constexpr quint16 ProcessKey = 229; // a key that an input method processes
} // namespace vk

enum ShiftFlag : int { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64 };
using TShiftState = int;

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// The virtual-key code of a key event: the native code on Windows, the code
// of the same key elsewhere (letters 65-90, digits 48-57, Enter 13, ...).
quint16 virtualKey(const QKeyEvent *event);

class ControlEvents : public QObject {
  Q_OBJECT
public:
  using KeyDown = std::function<void(QObject *sender, quint16 &key, TShiftState shift)>;
  using MouseDown = std::function<void(QObject *sender, TMouseButton button, TShiftState shift, int x, int y)>;
  using Notify = std::function<void(QObject *sender)>;

  // The hook of a control, created on first use and owned by the control.
  static ControlEvents *of(QWidget *control);

  KeyDown onKeyDown;
  MouseDown onMouseDown;
  Notify onClick;
  Notify onDblClick;

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  // The handlers for the event; whether it ends here.
  bool dispatch(QObject *watched, QEvent *event);

private:
  explicit ControlEvents(QWidget *control);
  QWidget *m_control;
};

// Runs an event handler. An exception that escapes it (a failed conversion)
// ends the event there and shows the error box, as the application-wide
// handler would, without unwinding through the toolkit's own frames (which
// are not built to be unwound: their cleanup would be skipped). Returns false
// when the handler raised.
bool guarded(const std::function<void()> &handler);

// The integer Tag every component carries (0 until set).
inline int tagOf(const QObject *component) { return component->property("Tag").toInt(); }
inline void setTag(QObject *component, int value) { component->setProperty("Tag", value); }
