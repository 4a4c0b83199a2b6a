#pragma once
// The main window: banner, working strip with the identity-number box,
// appointment strip and the grid of the lookup's result.

#include "core/datetime.h"
#include "platform/events.h"
#include "store/queryobject.h"
#include "ui_unit1.h"

#include <QWidget>

class TForm1 : public QWidget, public Ui::TForm1 {
  Q_OBJECT
public:
  explicit TForm1(const StoreLocation &store, QWidget *parent = nullptr);

  QueryObject *ADOTab;      // main query object; its result is the grid's
  ResultModel *DataSource1; // data link from ADOTab to DBGrid1
  QueryObject *BDOTab;      // scratch query object for counts and checks
  TDateTime serverDate = 0; // the server's date at 00:00:00, set by the gate
  int Tag = 0;              // 1 once the start-up gate has passed

  // Start-up gate, run at every activation; only the first run does anything.
  void FormActivate(QObject *Sender);
  // Exit.
  void BitBtn4Click(QObject *Sender);
  // Lookup of the application for the number in sfzEdit.
  void BitBtn1Click(QObject *Sender);
  void AdjustGridColumns();
  // Application start.
  void BitBtn2Click(QObject *Sender);
  // The identity-number box.
  void sfzEditKeyDown(QObject *Sender, quint16 &Key, TShiftState Shift);
  void sfzEditMouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void sfzEditClick(QObject *Sender);
  void sfzEditDblClick(QObject *Sender);

  // Where the gate reads and writes the regional formats (the current user's
  // key unless a test points it elsewhere).
  QString regionalFile;

signals:
  // The main window has closed: the program ends.
  void closed();

protected:
  bool event(QEvent *event) override;

private:
  void bindGrid();
  bool m_inGate = false;
  bool m_shown = false;
};

extern TForm1 *Form1;
