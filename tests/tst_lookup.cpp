// The identity-number box and the lookup, through the real main window and a
// real store.

#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "core/gbk.h"
#include "main/unit1.h"

#include <QApplication>
#include <QHeaderView>
#include <QMap>
#include <QStyle>
#include <QTableView>
#include <algorithm>
#include <climits>

namespace {

const QString kFound = QStringLiteral("110101201903050021");
const QString kNotFoundMessage = QStringLiteral("对不起!\r\r    你还没有进行信息填报,请进行[申请填报]操作再进行");
const QString kLengthMessage = QStringLiteral("请输入18位有效身份证号");
const QString kStoreMessage = QStringLiteral("网络问题,操作失败");

// The result's columns in order, each with its display width in characters:
// 8 for 姓名, 18 for 身份证号, the GBK byte length of the name otherwise.
const QList<std::pair<QString, int>> kColumns = {{"姓名", 8},
                                                 {"性别", 4},
                                                 {"身份证号", 18},
                                                 {"申请幼儿园名称", 14},
                                                 {"部别", 4},
                                                 {"民族", 4},
                                                 {"出生日期", 8},
                                                 {"区县", 4},
                                                 {"镇乡或街道", 10},
                                                 {"村或社区", 8},
                                                 {"组", 2},
                                                 {"户主姓名", 8},
                                                 {"户主与儿童关系", 14},
                                                 {"户口簿详细地址", 14},
                                                 {"入户日期", 8},
                                                 {"监护人一姓名", 12},
                                                 {"监护人一电话", 12},
                                                 {"监护人二姓名", 12},
                                                 {"监护人二电话", 12},
                                                 {"填报日期", 8}};

QVariantMap application(const QString &number, const QString &kindergarten) {
  QVariantMap row = TestStore::sampleApplication(number);
  row.insert(QStringLiteral("申请幼儿园名称"), kindergarten);
  return row;
}

// Types text into the box as a guardian would, one key at a time.
void type(QWidget *box, const QString &text) {
  for (QChar c : text)
    QTest::sendKeyEvent(QTest::Click, box, c.unicode() < 0x80 ? Qt::Key(QChar(c).toUpper().unicode()) : Qt::Key_unknown,
                        QString(c), Qt::NoModifier);
}

} // namespace

class LookupTest : public QObject {
  Q_OBJECT
private slots:
  void init();
  void cleanup();
  void outcomes_data();
  void outcomes();
  void foundMessageComesBeforeTheNotice();
  void gridColumns();
  void foundThenShortened();
  void storeFailureKeepsPanels();
  void valuesNeverChangeTheStatement_data();
  void valuesNeverChangeTheStatement();
  void boxRefusesNineteenthByte();
  void clickSelectsAndDoubleClickClears();

private:
  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;
};

void LookupTest::init() {
  m_store = TestStore::sqlite();
  m_store->insertApplication(application(kFound, "实验幼儿园和平园区"));
  m_client = std::make_unique<WorkingClient>(m_store->location());
}

void LookupTest::cleanup() {
  m_client.reset();
  m_store.reset();
}

void LookupTest::outcomes_data() {
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("sender"); // BitBtn1 (clicked) or another component
  QTest::addColumn<QString>("boxAfter");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<int>("flag");
  QTest::addColumn<bool>("panel2");
  QTest::addColumn<bool>("grid");

  QTest::newRow("empty box") << ""
                             << "BitBtn1"
                             << "" << QStringList{kLengthMessage} << 0 << false << false;
  QTest::newRow("a blank and 17 digits") << " 11010120190305002"
                                         << "BitBtn1"
                                         << "11010120190305002" << QStringList{kLengthMessage} << 0 << false << false;
  QTest::newRow("16 digits and a Chinese character")
      << "1101012019030500汉"
      << "BitBtn1"
      << "1101012019030500汉" << QStringList{kNotFoundMessage} << 0 << false << false;
  QTest::newRow("none found through 查询")
      << "110101201901010011"
      << "BitBtn1"
      << "110101201901010011" << QStringList{kNotFoundMessage} << 0 << false << false;
  QTest::newRow("none found through another sender") << "110101201901010011"
                                                     << "BitBtn2"
                                                     << "110101201901010011" << QStringList{} << 0 << false << false;
  const QString found = QStringLiteral("该儿童已在[实验幼儿园和平园区][小班]成功申请.");
  QTest::newRow("one found") << kFound << "BitBtn1" << kFound << QStringList{found} << 1 << true << true;
  QTest::newRow("one found through another sender")
      << kFound << "qdBit" << kFound << QStringList{found} << 1 << true << true;
  // The box takes no control character however the text arrives, from code
  // too: the number with a tab is refused whole, and the box stays empty.
  QTest::newRow("a tab set by code is refused by the box") << kFound + "\t"
                                                           << "BitBtn1"
                                                           << "" << QStringList{kLengthMessage} << 0 << false << false;
  // Only bytes up to 0x20 are trimmed: a full-width blank (U+3000, two GBK
  // bytes) stays part of the number, which then counts 18 bytes and is looked
  // up as it stands.
  const QString ideographic = QStringLiteral("\u3000");
  QTest::newRow("full-width blank at the start kept")
      << ideographic + "1101012019030500"
      << "BitBtn1" << ideographic + "1101012019030500" << QStringList{kNotFoundMessage} << 0 << false << false;
  QTest::newRow("full-width blank at the end kept")
      << "1101012019030500" + ideographic << "BitBtn1"
      << "1101012019030500" + ideographic << QStringList{kNotFoundMessage} << 0 << false << false;
}

void LookupTest::outcomes() {
  QFETCH(QString, typed);
  QFETCH(QString, sender);
  QFETCH(QString, boxAfter);
  QFETCH(QStringList, messages);
  QFETCH(int, flag);
  QFETCH(bool, panel2);
  QFETCH(bool, grid);

  Form1->sfzEdit->setText(typed);
  setTag(Form1->BitBtn2, 1); // a stale flag must not survive
  if (sender == QLatin1String("BitBtn1")) {
    QTest::mouseClick(Form1->BitBtn1, Qt::LeftButton);
  } else {
    QObject other;
    other.setObjectName(sender);
    Form1->BitBtn1Click(&other);
  }
  QCOMPARE(Form1->sfzEdit->text(), boxAfter);
  QCOMPARE(m_client->boxes.texts(), messages);
  QCOMPARE(tagOf(Form1->BitBtn2), flag);
  QCOMPARE(Form1->Panel2->isVisible(), panel2);
  QCOMPARE(Form1->DBGrid1->isVisible(), grid);
  if (flag == 1) {
    QCOMPARE(
        Form1->Label2->text(),
        QStringLiteral("请你于6月25日、26日上午9:30-11：30下午14:30-16:00带上相关证件到[实验幼儿园和平园区]验审要件."));
    QCOMPARE(Form1->DataSource1->rowCount(), 1);
    QCOMPARE(Form1->DataSource1->data(Form1->DataSource1->index(0, 2), Qt::DisplayRole).toString(), kFound);
  }
  if (!messages.isEmpty() && messages[0] == kNotFoundMessage) {
    QVERIFY(Form1->ADOTab->isOpen());
    QCOMPARE(Form1->ADOTab->rowCount(), 0);
  }
}

void LookupTest::foundMessageComesBeforeTheNotice() {
  bool panelDuringMessage = true, gridDuringMessage = true;
  m_client->boxes.onShow = [&](const dialogs::Shown &) {
    panelDuringMessage = Form1->Panel2->isVisible();
    gridDuringMessage = Form1->DBGrid1->isVisible();
  };
  Form1->sfzEdit->setText(kFound);
  Form1->BitBtn1->click();
  QVERIFY(!panelDuringMessage);
  QVERIFY(!gridDuringMessage);
  QVERIFY(Form1->Panel2->isVisible());
}

void LookupTest::gridColumns() {
  Form1->sfzEdit->setText(kFound);
  Form1->BitBtn1->click();
  QCOMPARE(Form1->DataSource1->columnCount(), kColumns.size());
  QTableView *grid = Form1->DBGrid1;
  // A cell shows its text whole when the text and the cell's margins fit.
  const int margins = 2 * (grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1) + 1;
  auto showsWhole = [&](int column, const QString &text) {
    return grid->columnWidth(column) >= grid->fontMetrics().horizontalAdvance(text) + margins;
  };
  QMap<int, int> narrowest; // display characters: the narrowest column with as many
  int identity = -1;
  for (int i = 0; i < kColumns.size(); ++i) {
    const auto &[name, characters] = kColumns[i];
    QCOMPARE(Form1->DataSource1->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString(), name);
    QCOMPARE(Form1->DataSource1->headerData(i, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt(), characters);
    QVERIFY2(showsWhole(i, QString(characters, QLatin1Char('0'))), qPrintable(name));
    narrowest[characters] = qMin(narrowest.value(characters, INT_MAX), grid->columnWidth(i));
    if (name == QStringLiteral("身份证号"))
      identity = i;
  }
  // More characters, never a narrower column; and the stored number whole.
  QVERIFY(std::is_sorted(narrowest.cbegin(), narrowest.cend()));
  QVERIFY(showsWhole(identity, kFound));
  QVERIFY(grid->columnWidth(identity) <
          grid->fontMetrics().horizontalAdvance(QString(19, QLatin1Char('0'))) + margins + 6);
  QCOMPARE(Form1->DBGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);
}

void LookupTest::foundThenShortened() {
  Form1->sfzEdit->setText(kFound);
  Form1->BitBtn1->click();
  m_client->boxes.clear();
  QTest::keyClick(Form1->sfzEdit, Qt::Key_End);
  QTest::keyClick(Form1->sfzEdit, Qt::Key_Backspace);
  QTest::mouseClick(Form1->BitBtn1, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts(), QStringList{kLengthMessage});
  QVERIFY(!Form1->Panel2->isVisible());
  QVERIFY(Form1->DBGrid1->isVisible());
  QCOMPARE(Form1->DataSource1->rowCount(), 1);
  QCOMPARE(tagOf(Form1->BitBtn2), 0);
}

void LookupTest::storeFailureKeepsPanels() {
  Form1->sfzEdit->setText(kFound);
  Form1->BitBtn1->click();
  m_client->boxes.clear();
  Form1->ADOTab->setLocation(m_store->unreachable());
  Form1->BitBtn1->click();
  QCOMPARE(m_client->boxes.texts(), QStringList{kStoreMessage});
  QCOMPARE(tagOf(Form1->BitBtn2), 0);
  QVERIFY(Form1->Panel2->isVisible());
  QVERIFY(Form1->DBGrid1->isVisible());
  QVERIFY(!Form1->ADOTab->controlsDisabled());
  // Back on a reachable store the same object works again.
  Form1->ADOTab->setLocation(m_store->location());
  m_client->boxes.clear();
  Form1->BitBtn1->click();
  QCOMPARE(tagOf(Form1->BitBtn2), 1);
}

void LookupTest::valuesNeverChangeTheStatement_data() {
  QTest::addColumn<QString>("number");
  QTest::newRow("a quote") << "1101012019030'0021";
  QTest::newRow("always-true condition") << "' or '1'='1 123456";
  QTest::newRow("statement end") << "';drop table lz_yj";
}

void LookupTest::valuesNeverChangeTheStatement() {
  QFETCH(QString, number);
  QCOMPARE(gbk::byteLength(number), 18);
  Form1->sfzEdit->setText(number);
  Form1->BitBtn1->click();
  QCOMPARE(m_client->boxes.texts(), QStringList{kNotFoundMessage});
  QCOMPARE(tagOf(Form1->BitBtn2), 0);
  QCOMPARE(m_store->count("select * from lz_yjxxk"), 1);
}

void LookupTest::boxRefusesNineteenthByte() {
  Form1->sfzEdit->clear();
  type(Form1->sfzEdit, "1234567890123456789");
  QCOMPARE(Form1->sfzEdit->text(), QStringLiteral("123456789012345678"));
  Form1->sfzEdit->clear();
  type(Form1->sfzEdit, QStringLiteral("12345678901234567汉"));
  QCOMPARE(Form1->sfzEdit->text(), QStringLiteral("12345678901234567"));
  Form1->sfzEdit->clear();
  type(Form1->sfzEdit, QStringLiteral("1䶮2"));
  QCOMPARE(Form1->sfzEdit->text(), QStringLiteral("12"));
}

void LookupTest::clickSelectsAndDoubleClickClears() {
  Form1->sfzEdit->setText(kFound);
  QTest::mouseClick(Form1->sfzEdit, Qt::LeftButton);
  QCOMPARE(Form1->sfzEdit->selectedText(), kFound);
  QTest::keyClick(Form1->sfzEdit, Qt::Key_1);
  QCOMPARE(Form1->sfzEdit->text(), QStringLiteral("1"));
  Form1->sfzEdit->setText(kFound);
  QTest::mouseDClick(Form1->sfzEdit, Qt::LeftButton);
  QCOMPARE(Form1->sfzEdit->text(), QString());
}

KG_TEST_MAIN(LookupTest)
#include "tst_lookup.moc"
