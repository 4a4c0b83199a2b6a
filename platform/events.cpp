#include "platform/events.h"

#include "platform/dialogs.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>

quint16 virtualKey(const QKeyEvent *event) {
#ifdef Q_OS_WIN
  if (event->nativeVirtualKey() != 0)
    return quint16(event->nativeVirtualKey());
#endif
  int key = event->key();
  if (key >= Qt::Key_A && key <= Qt::Key_Z)
    return quint16(key); // 'A'..'Z' are 65..90 in both
  if (key >= Qt::Key_0 && key <= Qt::Key_9)
    return quint16(key);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
    return quint16(0x70 + key - Qt::Key_F1);
  switch (key) {
  case Qt::Key_Return:
  case Qt::Key_Enter: return vk::Return;
  case Qt::Key_Backspace: return 8;
  case Qt::Key_Tab:
  case Qt::Key_Backtab: return 9;
  case Qt::Key_Shift: return 16;
  case Qt::Key_Control: return 17;
  case Qt::Key_Alt: return 18;
  case Qt::Key_Escape: return 27;
  case Qt::Key_Space: return 32;
  case Qt::Key_PageUp: return 33;
  case Qt::Key_PageDown: return 34;
  case Qt::Key_End: return 35;
  case Qt::Key_Home: return 36;
  case Qt::Key_Left: return 37;
  case Qt::Key_Up: return 38;
  case Qt::Key_Right: return 39;
  case Qt::Key_Down: return 40;
  case Qt::Key_Insert: return 45;
  case Qt::Key_Delete: return 46;
  case Qt::Key_unknown: return vk::ProcessKey; // text that arrives without a key of its own
  default: break;
  }
  return 0;
}

namespace {
TShiftState shiftOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) {
  TShiftState shift = 0;
  if (modifiers & Qt::ShiftModifier)
    shift |= ssShift;
  if (modifiers & Qt::AltModifier)
    shift |= ssAlt;
  if (modifiers & Qt::ControlModifier)
    shift |= ssCtrl;
  if (buttons & Qt::LeftButton)
    shift |= ssLeft;
  if (buttons & Qt::RightButton)
    shift |= ssRight;
  if (buttons & Qt::MiddleButton)
    shift |= ssMiddle;
  return shift;
}
} // namespace

bool guarded(const std::function<void()> &handler) {
  try {
    handler();
    return true;
  } catch (const std::exception &error) {
    dialogs::escaped(&error);
  } catch (...) {
    dialogs::escaped(nullptr);
  }
  return false;
}

ControlEvents *ControlEvents::of(QWidget *control) {
  auto *hook = control->findChild<ControlEvents *>(QString(), Qt::FindDirectChildrenOnly);
  return hook ? hook : new ControlEvents(control);
}

ControlEvents::ControlEvents(QWidget *control) : QObject(control), m_control(control) {
  control->installEventFilter(this);
}

bool ControlEvents::eventFilter(QObject *watched, QEvent *event) {
  // A handler that raised has ended the event: the control does not get it.
  bool consumed = false;
  const bool handled = guarded([&] { consumed = dispatch(watched, event); });
  return consumed || !handled;
}

bool ControlEvents::dispatch(QObject *watched, QEvent *event) {
  if (watched != m_control)
    return false;
  switch (event->type()) {
  case QEvent::KeyPress:
    if (onKeyDown) {
      auto *key = static_cast<QKeyEvent *>(event);
      quint16 code = virtualKey(key);
      onKeyDown(m_control, code, shiftOf(key->modifiers(), Qt::NoButton));
    }
    return false;
  case QEvent::InputMethod:
    // An input method composing or committing text stands for keys it has
    // processed.
    if (onKeyDown) {
      auto *im = static_cast<QInputMethodEvent *>(event);
      if (!im->commitString().isEmpty() || !im->preeditString().isEmpty()) {
        quint16 code = vk::ProcessKey;
        onKeyDown(m_control, code, 0);
      }
    }
    return false;
  case QEvent::MouseButtonPress:
  case QEvent::MouseButtonDblClick: {
    auto *mouse = static_cast<QMouseEvent *>(event);
    if (event->type() == QEvent::MouseButtonDblClick && mouse->button() == Qt::LeftButton && onDblClick) {
      onDblClick(m_control);
      return false;
    }
    if (onMouseDown) {
      TMouseButton button = mouse->button() == Qt::RightButton    ? TMouseButton::mbRight
                            : mouse->button() == Qt::MiddleButton ? TMouseButton::mbMiddle
                                                                  : TMouseButton::mbLeft;
      QPoint at = mouse->position().toPoint();
      onMouseDown(m_control, button, shiftOf(mouse->modifiers(), mouse->buttons()), at.x(), at.y());
    }
    return false;
  }
  case QEvent::MouseButtonRelease: {
    auto *mouse = static_cast<QMouseEvent *>(event);
    if (mouse->button() == Qt::LeftButton && onClick && m_control->rect().contains(mouse->position().toPoint())) {
      // The control's own release handling keeps the selection made here.
      onClick(m_control);
      return false;
    }
    return false;
  }
  default: return false;
  }
}
