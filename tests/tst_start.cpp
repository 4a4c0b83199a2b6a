// The application start from the main window: 申请填报 and Enter in the box,
// through the real windows and a real store.

#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QApplication>
#include <QClipboard>

namespace {

const QString kExisting = QStringLiteral("110101201903050021");
const QString kNew = QStringLiteral("110101201904070032");
const QString kLengthMessage = QStringLiteral("请输入18位有效身份证号");
const QString kTooYoung = QStringLiteral("对不起，该儿童还没到幼儿入学年龄，不能进行申报");
const QString kAfterWindow = QStringLiteral("不在网络申报时间[2022-06-20至2022-06-21]内,不能填报");
const QString kPractice =
    QStringLiteral("不在网络申报时间[2022-06-20至2022-06-21]内,申报无效,如果你填报了只能作为练习使用");

QList<QLineEdit *> sevenEdits() {
  return {Form2->xmEdit,   Form2->fzxmEdit, Form2->xxdzEdit, Form2->fqxmEdit,
          Form2->fqdhEdit, Form2->mqxmEdit, Form2->mqdhEdit};
}

void fillSevenEdits() {
  for (QLineEdit *edit : sevenEdits())
    edit->setText(QStringLiteral("x"));
}

} // namespace

class StartTest : public QObject {
  Q_OBJECT
private slots:
  void init();
  void cleanup();
  void outcomes_data();
  void outcomes();
  void formPlacement_data();
  void formPlacement();
  void filingWindow_data();
  void filingWindow();
  void letterInBirthPartReachesErrorBox();
  void storeUnreachableAtLookupStillOpensForm();
  void enterInTheBox_data();
  void enterInTheBox();
  void fillsOnlyWhatItShould();
  void secondStartWithAnotherNumber();
  void secondStartThatEndsEarlyLeavesForm();
  void firstStartWithoutStreetLeavesListsEmpty();

private:
  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;
};

void StartTest::init() {
  m_store = TestStore::sqlite();
  QVariantMap row = TestStore::sampleApplication(kExisting);
  row.insert(QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园本部"));
  m_store->insertApplication(row);
  m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  m_client = std::make_unique<WorkingClient>(m_store->location());
}

void StartTest::cleanup() {
  m_client.reset();
  m_store.reset();
}

void StartTest::outcomes_data() {
  QTest::addColumn<QString>("number");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("formOpens");
  QTest::addColumn<QString>("boxAfter");

  QTest::newRow("application exists") << kExisting
                                      << QStringList{QStringLiteral("该儿童已在[西岭幼儿园本部][小班]成功申请."),
                                                     QStringLiteral("该儿童已填报了申请表,不能重复填报")}
                                      << false << kExisting;
  QTest::newRow("17 characters") << kNew.left(17) << QStringList{kLengthMessage} << false << kNew.left(17);
  QTest::newRow("born 2019-08-31") << "110101201908310032" << QStringList{} << true << "110101201908310032";
  QTest::newRow("born 2019-09-01") << "110101201909010032" << QStringList{kTooYoung} << false << "";
  QTest::newRow("new number") << kNew << QStringList{} << true << kNew;
}

void StartTest::outcomes() {
  QFETCH(QString, number);
  QFETCH(QStringList, messages);
  QFETCH(bool, formOpens);
  QFETCH(QString, boxAfter);
  Form1->sfzEdit->setText(number);
  QTest::mouseClick(Form1->BitBtn2, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().join(" | "), messages.join(" | "));
  QCOMPARE(Form2->isVisible(), formOpens);
  QCOMPARE(Form1->sfzEdit->text(), boxAfter);
  if (formOpens) {
    QCOMPARE(Form2->sfzEdit->text(), number);
    // Over the maximised main window of the 1920 x 1080 screen: the form's
    // outer size is 926 x 436 (922 x 432 and the offscreen platform's
    // 2-pixel frame), (1920 - 926) / 2, (1080 - 436) / 2.
    QCOMPARE(Form2->size(), QSize(922, 432));
    QCOMPARE(Form2->frameGeometry(), QRect(497, 322, 926, 436));
    // The main window stays usable behind the form.
    QVERIFY(Form1->sfzEdit->isEnabled() && Form1->BitBtn1->isEnabled() && Form1->BitBtn2->isEnabled());
  }
}

// The form is centred by the outer sizes, in screen coordinates: the main
// window's own position is not added, and each half is rounded toward zero
// (a difference of -3 gives -1). Worked by hand for main windows that do not
// stand at 0,0. The form goes without a frame here, so that its outer size is
// 922 x 432: the offscreen platform moves a framed window whose client area
// would start left of or above its frame back onto the screen.
void StartTest::formPlacement_data() {
  QTest::addColumn<QRect>("main"); // outer geometry
  QTest::addColumn<QPoint>("form");
  QTest::newRow("odd differences both ways") << QRect(100, 50, 1923, 1001) << QPoint(500, 284);
  QTest::newRow("even differences, far from the corner") << QRect(300, 200, 1122, 632) << QPoint(100, 100);
  QTest::newRow("-3 gives -1") << QRect(40, 30, 919, 429) << QPoint(-1, -1);
  QTest::newRow("smaller than the form both ways") << QRect(500, 400, 700, 300) << QPoint(-111, -66);
}

void StartTest::formPlacement() {
  QFETCH(QRect, main);
  QFETCH(QPoint, form);
  Form1->showNormal();
  const QRect inner = Form1->geometry(), outer = Form1->frameGeometry();
  Form1->setGeometry(main.marginsRemoved(QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                                                  outer.right() - inner.right(), outer.bottom() - inner.bottom())));
  QCOMPARE(Form1->frameGeometry(), main);
  Form2->setWindowFlag(Qt::FramelessWindowHint);
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  QCOMPARE(Form2->frameGeometry(), QRect(form, QSize(922, 432)));
}

void StartTest::filingWindow_data() {
  QTest::addColumn<QDate>("server");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("formOpens");
  QTest::newRow("2022-06-19: practice") << QDate(2022, 6, 19) << QStringList{kPractice} << true;
  QTest::newRow("2022-06-20") << QDate(2022, 6, 20) << QStringList{} << true;
  QTest::newRow("2022-06-21") << QDate(2022, 6, 21) << QStringList{} << true;
  QTest::newRow("2022-06-22") << QDate(2022, 6, 22) << QStringList{kAfterWindow} << false;
}

void StartTest::filingWindow() {
  QFETCH(QDate, server);
  QFETCH(QStringList, messages);
  QFETCH(bool, formOpens);
  Form1->serverDate = datetime::fromDate(server.year(), server.month(), server.day());
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  QCOMPARE(m_client->boxes.texts().join(" | "), messages.join(" | "));
  QCOMPARE(Form2->isVisible(), formOpens);
}

void StartTest::letterInBirthPartReachesErrorBox() {
  Form1->sfzEdit->setText(QStringLiteral("1101012019O8310032"));
  QTest::mouseClick(Form1->BitBtn2, Qt::LeftButton);
  QCOMPARE(m_client->boxes.shown.size(), 1);
  QCOMPARE(m_client->boxes.shown[0].kind, dialogs::Kind::Error);
  QCOMPARE(m_client->boxes.shown[0].text, QStringLiteral("'2019O831' is not a valid integer value."));
  QVERIFY(!Form2->isVisible());
  QCOMPARE(Form1->sfzEdit->text(), QStringLiteral("1101012019O8310032"));
  QCOMPARE(tagOf(Form1->BitBtn2), 0);
}

void StartTest::storeUnreachableAtLookupStillOpensForm() {
  Form1->ADOTab->setLocation(m_store->unreachable());
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  QCOMPARE(m_client->boxes.texts(), QStringList{QStringLiteral("网络问题,操作失败")});
  QVERIFY(Form2->isVisible());
  QCOMPARE(Form2->sfzEdit->text(), kNew);
}

void StartTest::enterInTheBox_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("modifiers");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("formOpens");
  QTest::addColumn<bool>("clipboardEmptied");
  QTest::newRow("Enter with a number") << kNew << int(Qt::NoModifier) << QStringList{} << true << false;
  QTest::newRow("Enter in an empty box") << "" << int(Qt::NoModifier) << QStringList{} << false << false;
  QTest::newRow("Enter in a box of blanks")
      << "   " << int(Qt::NoModifier) << QStringList{kLengthMessage} << false << false;
  QTest::newRow("Ctrl+Enter") << kNew << int(Qt::ControlModifier) << QStringList{} << true << true;
  QTest::newRow("Shift+Enter") << kNew << int(Qt::ShiftModifier) << QStringList{} << true << false;
}

void StartTest::enterInTheBox() {
  QFETCH(QString, text);
  QFETCH(int, modifiers);
  QFETCH(QStringList, messages);
  QFETCH(bool, formOpens);
  QFETCH(bool, clipboardEmptied);
  QApplication::clipboard()->setText(QStringLiteral("keep"));
  Form1->sfzEdit->setText(text);
  Form1->sfzEdit->setFocus();
  QTest::keyClick(Form1->sfzEdit, Qt::Key_Return, Qt::KeyboardModifiers(modifiers));
  QCOMPARE(m_client->boxes.texts().join(" | "), messages.join(" | "));
  QCOMPARE(Form2->isVisible(), formOpens);
  QCOMPARE(QApplication::clipboard()->text().isEmpty(), clipboardEmptied);
  if (formOpens)
    QCOMPARE(Form2->sfzEdit->text(), text);
}

void StartTest::fillsOnlyWhatItShould() {
  Form2->xbCom->setCurrentIndex(1);
  Form2->gxCom->setCurrentIndex(2);
  const QDateTime birth(QDate(2019, 4, 7), QTime(16, 56, 39));
  Form2->DateTimePicker2->setDateTime(birth);
  fillSevenEdits();
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  for (QLineEdit *edit : sevenEdits())
    QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
  QCOMPARE(Form2->xbCom->currentIndex(), 1);
  QCOMPARE(Form2->gxCom->currentIndex(), 2);
  QCOMPARE(Form2->DateTimePicker2->dateTime(), birth);
}

void StartTest::secondStartWithAnotherNumber() {
  Form2->xzjdCom->setCurrentIndex(0);
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  Form2->csqCom->setCurrentIndex(5);
  fillSevenEdits();
  const QString other = QStringLiteral("110101201905050041");
  Form1->sfzEdit->setText(other);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  QCOMPARE(Form2->sfzEdit->text(), other);
  for (QLineEdit *edit : sevenEdits())
    QVERIFY(edit->text().isEmpty());
  QCOMPARE(Form2->csqCom->currentText(), QStringLiteral("和平社区"));
  QCOMPARE(Form2->yrymcCom->currentText(), QStringLiteral("实验幼儿园和平园区"));
}

void StartTest::secondStartThatEndsEarlyLeavesForm() {
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  fillSevenEdits();
  Form1->sfzEdit->setText(QStringLiteral("110101201909010032"));
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  QCOMPARE(Form2->sfzEdit->text(), kNew);
  for (QLineEdit *edit : sevenEdits())
    QCOMPARE(edit->text(), QStringLiteral("x"));
}

void StartTest::firstStartWithoutStreetLeavesListsEmpty() {
  Form1->sfzEdit->setText(kNew);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  QCOMPARE(Form2->xzjdCom->currentIndex(), -1);
  QCOMPARE(Form2->csqCom->count(), 0);
  QCOMPARE(Form2->zCom->count(), 0);
  QCOMPARE(Form2->yrymcCom->count(), 0);
  QCOMPARE(m_client->boxes.texts(), QStringList());
}

KG_TEST_MAIN(StartTest)
#include "tst_start.moc"
