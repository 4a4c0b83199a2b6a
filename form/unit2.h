#pragma once
// The application form: the child's basic data, the household registration
// with its street -> community -> group cascade, the kindergarten applied for
// and the guardians; its submit button checks and records the application.

#include "platform/events.h"
#include "ui_unit2.h"

#include <QWidget>

class TForm2 : public QWidget, public Ui::TForm2 {
  Q_OBJECT
public:
  explicit TForm2(QWidget *parent = nullptr);

  // Clipboard guard of the seven free-text edits.
  void xmEditKeyDown(QObject *Sender, quint16 &Key, TShiftState Shift);
  void xmEditMouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  // 返回: hide the form, entries kept.
  void BitBtn1Click(QObject *Sender);
  // The catchment cascade: street step and community step.
  void xzjdComSelect(QObject *Sender);
  void csqComSelect(QObject *Sender);
  // 提交申报表: checks, quota, confirmations and recording.
  void qdBitClick(QObject *Sender);
};

extern TForm2 *Form2;
