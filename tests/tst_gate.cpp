// The start-up gate, the main window's states and the notice dialog, on a real
// store (SQLite always, PostgreSQL when the test command has started one).

#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "app/application.h"
#include "main/unit1.h"
#include "notice/unit4.h"

#include <QFile>
#include <QSignalSpy>
#include <QTimer>

namespace {

const QString kVersionMessage = QStringLiteral(
    "警告!\r\r    "
    "澄岭区2022年城区独立建制公办幼儿园小班招生网络填报系统已升级,请到【澄岭区政府网】上重新下载后再填报.");
const QString kClosedMessage = QStringLiteral(
    "警告!\r\r    澄岭区2022年城区公办幼儿园小班招生的网络填报还没有开通,不能进行填报.\r\n请于2022年6月20日"
    "上午10:00-6月21日下午6:00登录系统进行填报.");

// The filing notice as the guardian must read it, \r\n line breaks and the
// four blanks before each numbered paragraph included.
const QString kNotice =
    QStringLiteral("澄岭区2022年城区公办幼儿园小班招生的网络申请注意事项：\r\n\r\n"
                   "    1.幼儿与父(母)的户口在东澄街道或西岭街道公办幼儿园片区方可申请入园。\r\n\r\n"
                   "    "
                   "2.2022年6月20日上午10:00-6月21日下午6:"
                   "00，由法定监护人登录【鹭州市澄岭区人民政府】网站，在【部门街镇】选择【区教委】点击【澄岭区2022年城"
                   "区独立建制公办幼儿园小班招生网络填报系统】下载软件，申请登记，满额为止。\r\n\r\n"
                   "    "
                   "3.6月25日、26日上午9:30-11：30，下午14:30-16:"
                   "00，已成功申请的幼儿其法定监护人持户口簿、《儿童保健管理手册》、预防接种证、预防接种情况评价单等原"
                   "件及复印件到所申请的园区验审入园要件，逾期视为自动放弃。幼儿园验审无误后收取复印件备查。家长提供的"
                   "信息必须完整和真实，否则取消入园资格。");

std::unique_ptr<TestStore> makeStore(const QString &backend) {
  return backend == QLatin1String("pg") ? TestStore::postgres() : TestStore::sqlite();
}

} // namespace

class GateTest : public QObject {
  Q_OBJECT
private slots:
  void outcomes_data();
  void outcomes();
  void laterActivationDoesNothing();
  void noticePlacedAndFilled();
  void noticePlacement_data();
  void noticePlacement();
  void acceptShowsWorkingStrip();
  void declineAndExitEndTheProgram_data();
  void declineAndExitEndTheProgram();
  void escapedExceptionShowsErrorBox();
};

void GateTest::outcomes_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<QString>("regional"); // ok, differs, missing
  QTest::addColumn<QString>("store");    // pass, version, trailingBlank, versionAndClosed, closed, noRow,
                                         // nullSwitch, unreachable
  QTest::addColumn<QString>("message");
  QTest::addColumn<bool>("passes");

  for (const QString &backend : {QStringLiteral("sqlite"), QStringLiteral("pg")}) {
    auto row = [&](const char *name) { return &(QTest::newRow(qPrintable(backend + ": " + name)) << backend); };
    // Stage A refusals never reach the store: an unreachable one proves it.
    *row("formats differ") << "differs"
                           << "unreachable"
                           << "" << false;
    *row("stage A error") << "missing"
                          << "unreachable"
                          << "请以管理身份重新运行该程序" << false;
    *row("version differs") << "ok"
                            << "version" << kVersionMessage << false;
    *row("version with trailing blank") << "ok"
                                        << "trailingBlank" << kVersionMessage << false;
    *row("version and closed together") << "ok"
                                        << "versionAndClosed" << kVersionMessage << false;
    *row("filing closed") << "ok"
                          << "closed" << kClosedMessage << false;
    *row("lz_kttb without a row") << "ok"
                                  << "noRow" << kVersionMessage << false;
    *row("filing switch null") << "ok"
                               << "nullSwitch" << kClosedMessage << false;
    *row("store unreachable") << "ok"
                              << "unreachable"
                              << "网络问题,请重新登录" << false;
    *row("pass") << "ok"
                 << "pass"
                 << "" << true;
  }
}

void GateTest::outcomes() {
  QFETCH(QString, backend);
  QFETCH(QString, regional);
  QFETCH(QString, store);
  QFETCH(QString, message);
  QFETCH(bool, passes);

  std::unique_ptr<TestStore> db = makeStore(backend);
  KG_REQUIRE_PG(db->available());
  if (store == QLatin1String("version") || store == QLatin1String("versionAndClosed"))
    db->setVersion(QStringLiteral("202206180"));
  if (store == QLatin1String("trailingBlank"))
    db->setVersion(QStringLiteral("202206181 "));
  if (store == QLatin1String("closed") || store == QLatin1String("versionAndClosed"))
    db->setFilingOpen(false);
  if (store == QLatin1String("nullSwitch"))
    db->setFilingOpen(QVariant());
  if (store == QLatin1String("noRow"))
    db->deleteKttbRows();
  const bool canSetClock = db->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  const StoreLocation location = store == QLatin1String("unreachable") ? db->unreachable() : db->location();

  ClientWindows windows(location, regional == QLatin1String("ok"));
  const QString before = QStringLiteral("sDate=/\nsShortDate=M/d/yyyy\nsTimeFormat=h:mm:ss tt\nsCurrency=¥\n");
  if (regional == QLatin1String("differs"))
    windows.writeRegional(before);
  DialogScript boxes;
  QSignalSpy closed(Form1, &TForm1::closed);
  windows.start();

  QCOMPARE(boxes.texts(), message.isEmpty() ? QStringList() : QStringList{message});
  QCOMPARE(closed.count(), passes ? 0 : 1);
  QCOMPARE(Form1->Tag, passes ? 1 : 0);
  QCOMPARE(Form4->isVisible(), passes);
  QCOMPARE(Form1->Panel1->isVisible(), false);
  if (regional == QLatin1String("differs")) {
    // The nine values, written in order after what the key held.
    QStringList expected{"sDate=-",
                         "sShortDate=yyyy-MM-dd",
                         "sTimeFormat=HH:mm:ss",
                         "sCurrency=¥",
                         "sTime=:",
                         "sShortTime=HH:mm",
                         "iTime=1",
                         "iTimePrefix=0",
                         "iTLZero=0",
                         "sLongDate=yyyy'年'M'月'd'日'"};
    QStringList values = windows.regionalValues();
#ifdef Q_OS_WIN
    // The registry keeps a key's values in an order of its own (Wine's by
    // name): the same values, whatever their order.
    expected.sort();
    values.sort();
#endif
    QCOMPARE(values, expected);
  }
  if (passes) {
    const QDate expected = canSetClock ? QDate(2022, 6, 20) : db->serverDate();
    QCOMPARE(Form1->serverDate, datetime::fromDate(expected.year(), expected.month(), expected.day()));
    QVERIFY(!Form1->ADOTab->isOpen());
  } else {
    QCOMPARE(Form1->serverDate, 0.0);
  }
}

void GateTest::laterActivationDoesNothing() {
  auto db = TestStore::sqlite();
  ClientWindows windows(db->location());
  DialogScript boxes;
  windows.start();
  QCOMPARE(Form1->Tag, 1);
  // Any store access now would fail and show a message.
  Form1->ADOTab->setLocation(db->unreachable());
  Form4->BitBtn1->click();
  Form1->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(Form1));
  Form1->FormActivate(Form1);
  QCOMPARE(boxes.texts(), QStringList());
  QCOMPARE(Form1->Tag, 1);
  QVERIFY(!Form4->isVisible());
}

void GateTest::noticePlacedAndFilled() {
  auto db = TestStore::sqlite();
  ClientWindows windows(db->location());
  DialogScript boxes;
  windows.start();
  QVERIFY(Form4->isVisible());
  QVERIFY(Form4->windowFlags() & Qt::WindowStaysOnTopHint);
  QCOMPARE(Form4->windowTitle(), QStringLiteral("填报注意事项"));
  QCOMPARE(Form4->size(), QSize(850, 414));
  // Maximised on the 1920 x 1080 screen; the dialog's outer size is
  // 854 x 418 (the offscreen platform's frame is 2 pixels on each side):
  // (1920 - 854) / 2, (1080 - 418) / 2.
  QCOMPARE(Form4->frameGeometry(), QRect(533, 331, 854, 418));
  // The whole text, as the dialog shows it (each \r\n one line break), and
  // the resource that holds it, byte for byte.
  QCOMPARE(Form4->RichEdit1->toPlainText(), QString(kNotice).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  QFile resource(QStringLiteral(":/notice.txt"));
  QVERIFY(resource.open(QIODevice::ReadOnly));
  QCOMPARE(resource.readAll(), kNotice.toUtf8());
  QVERIFY(Form4->RichEdit1->isReadOnly());
  // A close request of the window system does not leave the dialog.
  Form4->close();
  QVERIFY(Form4->isVisible());
  QVERIFY(!Form1->Panel1->isVisible());
  // No caption-bar buttons: the dialog is left only through its two buttons.
  QVERIFY(!(Form4->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint |
                                    Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
}

// The notice is centred by the outer sizes, in screen coordinates: the main
// window's own position is not added, and each half is rounded toward zero
// (-5 / 2 is -2). Worked by hand for main windows that do not stand at 0,0.
// The dialog goes without a frame here, so that its outer size is 850 x 414:
// the offscreen platform moves a framed window whose client area would start
// left of or above its frame back onto the screen.
void GateTest::noticePlacement_data() {
  QTest::addColumn<QRect>("main"); // outer geometry
  QTest::addColumn<QPoint>("notice");
  QTest::newRow("1936 wide: 1086 / 2") << QRect(10, 20, 1936, 600) << QPoint(543, 93);
  QTest::newRow("odd differences both ways") << QRect(100, 50, 1937, 1001) << QPoint(543, 293);
  QTest::newRow("even differences, far from the corner") << QRect(300, 200, 1250, 614) << QPoint(200, 100);
  QTest::newRow("845 wide: -5 / 2 is -2") << QRect(200, 100, 845, 411) << QPoint(-2, -1);
  QTest::newRow("smaller than the dialog both ways") << QRect(30, 40, 600, 300) << QPoint(-125, -57);
}

void GateTest::noticePlacement() {
  QFETCH(QRect, main);
  QFETCH(QPoint, notice);
  auto db = TestStore::sqlite();
  ClientWindows windows(db->location());
  DialogScript boxes;
  Form4->setWindowFlag(Qt::FramelessWindowHint);
  windows.start(main);
  QCOMPARE(Form1->frameGeometry(), main);
  QVERIFY(Form4->isVisible());
  QCOMPARE(Form4->frameGeometry(), QRect(notice, QSize(850, 414)));
}

void GateTest::acceptShowsWorkingStrip() {
  auto db = TestStore::sqlite();
  ClientWindows windows(db->location());
  DialogScript boxes;
  windows.start();
  // Before the notice is accepted only the banner is shown.
  QVERIFY(Form1->isMaximized());
  QVERIFY(!Form1->Panel1->isVisible());
  QVERIFY(!Form1->Panel2->isVisible());
  QVERIFY(!Form1->DBGrid1->isVisible());
  QVERIFY(Form1->Image1->isVisible());
  QVERIFY(!Form1->Image1->pixmap().isNull());
  QCOMPARE(Form1->Image1->pixmap().size(), QSize(1363, 709));
  QTest::mouseClick(Form4->BitBtn1, Qt::LeftButton);
  QVERIFY(!Form4->isVisible());
  QVERIFY(Form1->Panel1->isVisible());
  QVERIFY(Form1->sfzEdit->isVisible());
  QVERIFY(!Form1->Panel2->isVisible());
  QVERIFY(!Form1->DBGrid1->isVisible());
  QVERIFY(!Form1->BitBtn3->isVisible());
  QCOMPARE(Form1->Label1->buddy(), Form1->sfzEdit);
  QCOMPARE(Form1->BitBtn4->geometry(), QRect(1080, 24, 75, 33));
  // Tab order within the working strip.
  QCOMPARE(Form1->sfzEdit->nextInFocusChain(), Form1->BitBtn1);
  QCOMPARE(Form1->BitBtn1->nextInFocusChain(), Form1->BitBtn2);
  QCOMPARE(boxes.texts(), QStringList());
}

void GateTest::declineAndExitEndTheProgram_data() {
  QTest::addColumn<QString>("how");
  QTest::newRow("decline") << "decline";
  QTest::newRow("exit") << "exit";
  QTest::newRow("exit with a result on display") << "exitAfterLookup";
  QTest::newRow("caption-bar close") << "close";
}

void GateTest::declineAndExitEndTheProgram() {
  QFETCH(QString, how);
  auto db = TestStore::sqlite();
  const int rowsBefore = db->count(QStringLiteral("select * from lz_yjxxk"));
  ClientWindows windows(db->location());
  DialogScript boxes;
  QSignalSpy closed(Form1, &TForm1::closed);
  windows.start();
  if (how == QLatin1String("decline")) {
    QTest::mouseClick(Form4->BitBtn2, Qt::LeftButton);
    QVERIFY(!Form4->isVisible());
  } else if (how == QLatin1String("close")) {
    Form1->close();
  } else {
    Form4->BitBtn1->click();
    if (how == QLatin1String("exitAfterLookup")) {
      Form1->sfzEdit->setText(QStringLiteral("110101201901010011"));
      Form1->BitBtn1->click();
      QVERIFY(Form1->ADOTab->isOpen());
    }
    QTest::mouseClick(Form1->BitBtn4, Qt::LeftButton);
    QVERIFY(!Form1->ADOTab->isOpen());
  }
  QCOMPARE(closed.count(), 1);
  QVERIFY(!Form1->isVisible());
  QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk")), rowsBefore);
}

void GateTest::escapedExceptionShowsErrorBox() {
  DialogScript boxes;
  bool after = false;
  QTimer::singleShot(0, [] { throw std::runtime_error("something failed"); });
  QTimer::singleShot(5, [&] { after = true; });
  QTRY_VERIFY(after); // the loop goes on
  QCOMPARE(boxes.shown.size(), 1);
  QCOMPARE(boxes.shown[0].kind, dialogs::Kind::Error);
  QCOMPARE(boxes.shown[0].text, QStringLiteral("something failed."));
  QCOMPARE(boxes.shown[0].caption, QStringLiteral("澄岭区2022年城区公办幼儿园小班招生网络填报系统"));
}

KG_TEST_MAIN(GateTest)
#include "tst_gate.moc"
