#include "form/unit2.h"

TForm2 *Form2 = nullptr;

TForm2::TForm2(QWidget *parent) : QWidget(parent) { setupUi(this); }

void TForm2::xmEditKeyDown(QObject *, quint16 &, TShiftState) {}
void TForm2::xmEditMouseDown(QObject *, TMouseButton, TShiftState, int, int) {}
void TForm2::BitBtn1Click(QObject *) { close(); }
void TForm2::xzjdComSelect(QObject *) {}
void TForm2::csqComSelect(QObject *) {}
void TForm2::qdBitClick(QObject *) {}
