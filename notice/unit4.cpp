#include "notice/unit4.h"

#include "main/unit1.h"
#include "platform/events.h"
#include "platform/look.h"

#include <QCloseEvent>
#include <QTimer>

TForm4 *Form4 = nullptr;

TForm4::TForm4(QWidget *parent) : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setupUi(this);
  setObjectName(QStringLiteral("Form4"));
  setFont(face("MS Sans Serif", 11));
  RichEdit1->setFont(face("黑体", 20, true));
  paint(RichEdit1, Qt::red, {QPalette::Text});
  BitBtn1->setFont(face("黑体", 16, true));
  BitBtn2->setFont(face("黑体", 16));
  for (QPushButton *button : {BitBtn1, BitBtn2})
    paint(button, Qt::blue, {QPalette::ButtonText});
  connect(BitBtn1, &QPushButton::clicked, this, [this] { guarded([this] { BitBtn1Click(BitBtn1); }); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { guarded([this] { BitBtn2Click(BitBtn2); }); });
}

void TForm4::closeEvent(QCloseEvent *event) {
  if (!m_leaving)
    event->ignore();
}

void TForm4::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized())
    QTimer::singleShot(0, this, [this] {
      if (isVisible() && isMinimized()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        raise();
        activateWindow();
      }
    });
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
