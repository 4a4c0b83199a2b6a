#pragma once
// The printout layout of an application. It is created with the other
// windows and never shown: the main window's print button stays hidden.

#include <QWidget>

class TForm3 : public QWidget {
  Q_OBJECT
public:
  explicit TForm3(QWidget *parent = nullptr);
};

extern TForm3 *Form3;
