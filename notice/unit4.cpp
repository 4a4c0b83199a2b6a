#include "notice/unit4.h"

#include "main/unit1.h"

#include <QCloseEvent>

TForm4 *Form4 = nullptr;

TForm4::TForm4(QWidget *parent) : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setupUi(this);
  setObjectName(QStringLiteral("Form4"));
  QFont face(QStringLiteral("MS Sans Serif"));
  face.setPixelSize(11);
  setFont(face);
  QFont notice(QStringLiteral("黑体"));
  notice.setPixelSize(20);
  notice.setBold(true);
  RichEdit1->setFont(notice);
  RichEdit1->setTextColor(Qt::red);
  QPalette red = RichEdit1->palette();
  red.setColor(QPalette::Text, Qt::red);
  RichEdit1->setPalette(red);
  QFont accept(QStringLiteral("黑体"));
  accept.setPixelSize(16);
  accept.setBold(true);
  BitBtn1->setFont(accept);
  QFont decline(QStringLiteral("黑体"));
  decline.setPixelSize(16);
  BitBtn2->setFont(decline);
  for (QPushButton *button : {BitBtn1, BitBtn2}) {
    QPalette blue = button->palette();
    blue.setColor(QPalette::ButtonText, Qt::blue);
    button->setPalette(blue);
  }
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(BitBtn1); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(BitBtn2); });
}

void TForm4::closeEvent(QCloseEvent *event) {
  if (!m_leaving)
    event->ignore();
}

void TForm4::BitBtn1Click(QObject *) {
  m_leaving = true;
  close();
  m_leaving = false;
  Form1->Panel1->setVisible(true);
}

void TForm4::BitBtn2Click(QObject *) {
  m_leaving = true;
  close();
  m_leaving = false;
  Form1->close();
}
