#pragma once
// The filing-notice dialog the guardian must accept.

#include "ui_unit4.h"

#include <QWidget>

class TForm4 : public QWidget, public Ui::TForm4 {
  Q_OBJECT
public:
  explicit TForm4(QWidget *parent = nullptr);

  void BitBtn1Click(QObject *Sender); // accept
  void BitBtn2Click(QObject *Sender); // decline

protected:
  // The dialog is left only through its two buttons: a window manager that
  // still offers a close button gets no effect from it.
  void closeEvent(QCloseEvent *event) override;
  // Nor may it be minimised out of sight: it comes back at once.
  void changeEvent(QEvent *event) override;

private:
  bool m_leaving = false;
};

extern TForm4 *Form4;
