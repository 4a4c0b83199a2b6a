#include "platform/clipboard.h"

#include <QAbstractSpinBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>

namespace clipboard {

namespace {

bool isMiddleButton(QEvent *event) {
  switch (event->type()) {
  case QEvent::MouseButtonPress:
  case QEvent::MouseButtonRelease:
  case QEvent::MouseButtonDblClick: return static_cast<QMouseEvent *>(event)->button() == Qt::MiddleButton;
  default: return false;
  }
}

bool isDrag(QEvent *event) {
  switch (event->type()) {
  case QEvent::DragEnter:
  case QEvent::DragMove:
  case QEvent::Drop: event->ignore(); return true;
  default: return false;
  }
}

// Swallows the middle button and drops on a guarded edit.
class SideDoors : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *, QEvent *event) override { return isMiddleButton(event) || isDrag(event); }
};

// Swallows every way of pasting into a date picker and its text field.
class NoPaste : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *, QEvent *event) override {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
      auto *key = static_cast<QKeyEvent *>(event);
      if (key->matches(QKeySequence::Paste) || (key->key() == Qt::Key_Insert && key->modifiers() == Qt::ShiftModifier))
        return true;
    }
    return event->type() == QEvent::ContextMenu || isMiddleButton(event) || isDrag(event);
  }
};

} // namespace

void empty() { QGuiApplication::clipboard()->clear(); }

bool guardsKey(quint16 key, TShiftState shift) { return (shift & ssCtrl) || key == vk::V || key == vk::ProcessKey; }

void shutSideDoors(QLineEdit *edit) {
  edit->setAcceptDrops(false);
  edit->installEventFilter(new SideDoors(edit));
}

void refusePastedText(QAbstractSpinBox *picker) {
  picker->setAcceptDrops(false);
  picker->setContextMenuPolicy(Qt::NoContextMenu);
  picker->installEventFilter(new NoPaste(picker));
  for (QLineEdit *field : picker->findChildren<QLineEdit *>()) {
    field->setAcceptDrops(false);
    field->setContextMenuPolicy(Qt::NoContextMenu);
    field->installEventFilter(new NoPaste(field));
  }
}

} // namespace clipboard
