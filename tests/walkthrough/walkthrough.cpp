// Walks one complete filing through the real windows on a real X display, as
// a guardian would, and saves a screenshot of the whole screen at each step:
//   scripts/screenshots.sh   (starts Xvfb and a window manager, runs this)
// Message boxes are the real ones; a timer finds each, saves the screen and
// presses its default button.

#include "fixture/clientwindows.h"
#include "fixture/teststore.h"

#include "app/application.h"
#include "form/unit2.h"
#include "main/unit1.h"
#include "notice/unit4.h"

#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

QString g_folder;
int g_shot = 0;

void shoot(const QString &name) {
  QTest::qWait(400);
  const QString file = QStringLiteral("%1/%2-%3.png").arg(g_folder).arg(++g_shot).arg(name);
  QGuiApplication::primaryScreen()->grabWindow(0).save(file);
  std::printf("%s\n", qPrintable(file));
}

// Saves each message box that opens and presses its default button.
void answerBoxes() {
  auto *timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [] {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || box->property("seen").toBool())
      return;
    box->setProperty("seen", true);
    QTimer::singleShot(300, box, [box] {
      static int n = 0;
      shoot(QStringLiteral("box%1").arg(++n));
      QPushButton *button = box->defaultButton() ? box->defaultButton() : box->findChild<QPushButton *>();
      button->click();
    });
  });
  timer->start(50);
}

void choose(QComboBox *list, const char *item) { list->setCurrentIndex(list->findText(QString::fromUtf8(item))); }

} // namespace

int main(int argc, char *argv[]) {
  TApplication app(argc, argv);
  g_folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
  QDir().mkpath(g_folder);
  auto store = TestStore::sqlite();
  store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  ClientWindows windows(store->location());
  answerBoxes();

  windows.start();
  shoot(QStringLiteral("notice"));
  QTest::mouseClick(Form4->BitBtn1, Qt::LeftButton);
  shoot(QStringLiteral("working"));

  QTest::mouseClick(Form1->sfzEdit, Qt::LeftButton);
  QTest::keyClicks(Form1->sfzEdit, QStringLiteral("110101201903050021"));
  QTest::mouseClick(Form1->BitBtn2, Qt::LeftButton);
  QTest::qWait(300);
  Form2->xmEdit->setText(QStringLiteral("王小红"));
  choose(Form2->xbCom, "女");
  Form2->DateTimePicker2->setDate(QDate(2019, 3, 5));
  choose(Form2->qxCom, "澄岭区");
  choose(Form2->xzjdCom, "东澄街道");
  Form2->xzjdComSelect(Form2->xzjdCom);
  choose(Form2->csqCom, "石桥社区");
  Form2->csqComSelect(Form2->csqCom);
  choose(Form2->zCom, "2组");
  choose(Form2->yrymcCom, "实验幼儿园万福园区");
  Form2->DateTimePicker1->setDate(QDate(2019, 6, 1));
  Form2->fzxmEdit->setText(QStringLiteral("王建国"));
  choose(Form2->gxCom, "父子");
  Form2->xxdzEdit->setText(QStringLiteral("澄岭区石桥路18号3单元502室"));
  choose(Form2->bbCom, "小班");
  Form2->fqxmEdit->setText(QStringLiteral("王建国"));
  Form2->fqdhEdit->setText(QStringLiteral("13800000001"));
  Form2->mqxmEdit->setText(QStringLiteral("李秀英"));
  Form2->mqdhEdit->setText(QStringLiteral("13900000002"));
  shoot(QStringLiteral("form"));

  QTest::mouseClick(Form2->qdBit, Qt::LeftButton); // confirmations, success, found message
  shoot(QStringLiteral("found"));
  return 0;
}
