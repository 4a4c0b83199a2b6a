// 提交申报表 from end to end: the checks, the quota, the confirmations, the
// duplicate check and the recording, through the real windows and a real
// store (SQLite always, PostgreSQL when the test command started one). The
// store failing under a submission is tst_outage's table.

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QApplication>

namespace {

const QString kNumber = QStringLiteral("110101201903050021"); // born 2019-03-05, sex digit 2: 女
const QString kConfirm1Head = QStringLiteral("警告!\r\r    你申请的幼儿园是[");
const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");
const QString kHousehold = QStringLiteral("【户籍信息】不完善,请重新填写");
const QString kGuardian = QStringLiteral("至少填一个【监护信息】,请重新填写");

} // namespace

class SubmitTest : public QObject {
  Q_OBJECT
private slots:
  void cleanup();
  void checks_data();
  void checks();
  void nonDigitSexReachesErrorBox();
  void quota_data();
  void quota();
  void quotaTakenDuringConfirmations();
  void confirmations_data();
  void confirmations();
  void duplicate();
  void recordedRowReadsBack_data();
  void recordedRowReadsBack();

private:
  // Starts the client on a store whose clock stands on a filing day, starts
  // an application for the number and fills the form as a guardian would.
  void open(const QString &backend = QStringLiteral("sqlite"), const QString &number = kNumber);
  int stored(const QString &number = kNumber) {
    return m_store->count(QStringLiteral("select * from lz_yjxxk where 身份证号='%1'").arg(number));
  }

  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;
};

void SubmitTest::open(const QString &backend, const QString &number) {
  m_store = TestStore::create(backend);
  QVERIFY(m_store->available());
  m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  m_client = std::make_unique<WorkingClient>(m_store->location());
  Form1->sfzEdit->setText(number);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  m_client->boxes.clear();
}

void SubmitTest::cleanup() {
  m_client.reset();
  m_store.reset();
}

void SubmitTest::checks_data() {
  QTest::addColumn<QString>("number");
  QTest::addColumn<QString>("change");
  QTest::addColumn<QString>("message"); // empty: all checks pass (the first confirmation follows)
  QTest::addColumn<QString>("nameAfter");

  const QString ok = QString();
  QTest::newRow("complete") << kNumber << "" << ok << "王小红";
  QTest::newRow("name of blanks") << kNumber << "name=   "
                                  << "请将【姓名】录入后再进行."
                                  << "";
  QTest::newRow("name trimmed even when a later check fails") << kNumber << "name= 王小红\t;sex="
                                                              << "请选择【性别】后再进行提交"
                                                              << "王小红";
  QTest::newRow("full-width space kept") << kNumber << "name=　王小红" << ok << "　王小红";
  QTest::newRow("sex empty") << kNumber << "sex="
                             << "请选择【性别】后再进行提交"
                             << "王小红";
  QTest::newRow("sex differs") << kNumber << "sex=男"
                               << "所填【性别】与【身份证号性别】不相符,请重新选择"
                               << "王小红";
  QTest::newRow("digit 0 expects 女") << "110101201903050001"
                                      << "" << ok << "王小红";
  QTest::newRow("digit 9 expects 男") << "110101201903050091"
                                      << "sex=男" << ok << "王小红";
  QTest::newRow("digit 9 refuses 女") << "110101201903050091"
                                      << ""
                                      << "所填【性别】与【身份证号性别】不相符,请重新选择"
                                      << "王小红";
  QTest::newRow("birth date differs") << kNumber << "birth=2019-03-06"
                                      << "所填【出生日期】与【身份证号出生日期】不相符,请重新填报"
                                      << "王小红";
  QTest::newRow("day 32 never matches") << "110101201903320021"
                                        << "birth=2019-04-01"
                                        << "所填【出生日期】与【身份证号出生日期】不相符,请重新填报"
                                        << "王小红";
  QTest::newRow("registered 2022-06-21 is too late")
      << kNumber << "registered=2022-06-21"
      << "对不起,你所填的儿童入户时间晚于今天,表示还没有入户,请核对后再进行."
      << "王小红";
  QTest::newRow("registered 2022-06-20 passes") << kNumber << "registered=2022-06-20" << ok << "王小红";
  QTest::newRow("registered on the birth day") << kNumber << "registered=2019-03-05" << ok << "王小红";
  QTest::newRow("registered the day before birth") << kNumber << "registered=2019-03-04"
                                                   << "对不起,该生还没有出生就入户,不符合政策,请核对后再进行."
                                                   << "王小红";
  QTest::newRow("born and registered on one day before 1900")
      << "110101189912290021"
      << "birth=1899-12-29;registered=1899-12-29" << ok << "王小红";
  QTest::newRow("registered the day before a birth before 1900")
      << "110101189912290021"
      << "birth=1899-12-29;registered=1899-12-28"
      << "对不起,该生还没有出生就入户,不符合政策,请核对后再进行."
      << "王小红";
  QTest::newRow("district unselected") << kNumber << "district=" << kHousehold << "王小红";
  QTest::newRow("group list empty") << kNumber << "groups=0" << kHousehold << "王小红";
  QTest::newRow("householder of one blank counts as filled") << kNumber << "householder= " << ok << "王小红";
  QTest::newRow("address empty") << kNumber << "address=" << kHousehold << "王小红";
  QTest::newRow("grade unselected") << kNumber << "grade="
                                    << "【幼儿园信息】不完善,请重新填写"
                                    << "王小红";
  QTest::newRow("only guardian two") << kNumber << "guardian1=;phone1=;guardian2=李四;phone2=139" << kGuardian
                                     << "王小红";
  QTest::newRow("guardian one without phone") << kNumber << "phone1=" << kGuardian << "王小红";
}

void SubmitTest::checks() {
  QFETCH(QString, number);
  QFETCH(QString, change);
  QFETCH(QString, message);
  QFETCH(QString, nameAfter);
  open(QStringLiteral("sqlite"), number);
  if (change.contains(QLatin1String("groups=0")))
    m_store->setGroupCount(QStringLiteral("和平社区"), 0);
  fillApplication();
  for (const QString &step : change.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const QString what = step.section(QLatin1Char('='), 0, 0);
    const QString value = step.section(QLatin1Char('='), 1);
    if (what == QLatin1String("name"))
      Form2->xmEdit->setText(value);
    else if (what == QLatin1String("sex"))
      value.isEmpty() ? Form2->xbCom->setCurrentIndex(-1) : choose(Form2->xbCom, value);
    else if (what == QLatin1String("birth"))
      Form2->DateTimePicker2->setDate(QDate::fromString(value, Qt::ISODate));
    else if (what == QLatin1String("registered"))
      Form2->DateTimePicker1->setDate(QDate::fromString(value, Qt::ISODate));
    else if (what == QLatin1String("district"))
      Form2->qxCom->setCurrentIndex(-1);
    else if (what == QLatin1String("householder"))
      Form2->fzxmEdit->setText(value);
    else if (what == QLatin1String("address"))
      Form2->xxdzEdit->setText(value);
    else if (what == QLatin1String("grade"))
      Form2->bbCom->setCurrentIndex(-1);
    else if (what == QLatin1String("guardian1"))
      Form2->fqxmEdit->setText(value);
    else if (what == QLatin1String("phone1"))
      Form2->fqdhEdit->setText(value);
    else if (what == QLatin1String("guardian2"))
      Form2->mqxmEdit->setText(value);
    else if (what == QLatin1String("phone2"))
      Form2->mqdhEdit->setText(value);
  }
  const QString sexBefore = Form2->xbCom->currentText();
  m_client->boxes.answers = {dialogs::Answer::No};
  // Any store access in this phase would fail and show a network message.
  Form1->BDOTab->setLocation(message.isEmpty() ? m_store->location() : m_store->unreachable());
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);

  QVERIFY(!m_client->boxes.shown.isEmpty());
  if (message.isEmpty()) {
    QCOMPARE(m_client->boxes.shown[0].kind, dialogs::Kind::YesNo);
    QVERIFY(m_client->boxes.shown[0].text.startsWith(kConfirm1Head));
  } else {
    QCOMPARE(m_client->boxes.texts(), QStringList{message});
    QCOMPARE(m_client->boxes.shown[0].kind, dialogs::Kind::Message);
  }
  QCOMPARE(Form2->xmEdit->text(), nameAfter);
  QCOMPARE(Form2->xbCom->currentText(), sexBefore);
  QVERIFY(Form2->isVisible());
  QCOMPARE(stored(number), 0);
}

void SubmitTest::nonDigitSexReachesErrorBox() {
  open(QStringLiteral("sqlite"), QStringLiteral("1101012019030500X1"));
  fillApplication();
  Form2->xmEdit->setText(QStringLiteral(" 王小红 "));
  Form2->xbCom->setCurrentIndex(-1);
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.shown.size(), 1);
  QCOMPARE(m_client->boxes.shown[0].kind, dialogs::Kind::Error);
  QCOMPARE(m_client->boxes.shown[0].text, QStringLiteral("'X' is not a valid integer value."));
  QCOMPARE(Form2->xmEdit->text(), QStringLiteral("王小红"));
  QVERIFY(Form2->isVisible());
}

void SubmitTest::quota_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<QString>("street");
  QTest::addColumn<QString>("community");
  QTest::addColumn<QString>("kindergarten");
  QTest::addColumn<int>("already");
  QTest::addColumn<QString>("refusal"); // empty: accepted
  const QString tailA = QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名.");
  const QString tailB = QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名");
  const QString tailC = QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到西岭街道其他幼儿园联系报名");
  for (const QString &backend : {QStringLiteral("sqlite"), QStringLiteral("pg")}) {
    auto row = [&](const char *name) { return &(QTest::newRow(qPrintable(backend + ": " + name)) << backend); };
    *row("和平园区 at 149: the 150th fits") << "东澄街道"
                                            << "和平社区"
                                            << "实验幼儿园和平园区" << 149 << "";
    *row("和平园区 at 150: refused, tail A") << "东澄街道"
                                             << "和平社区"
                                             << "实验幼儿园和平园区" << 150 << "对不起![实验幼儿园和平园区" + tailA;
    *row("物流园区 at 43") << "东澄街道"
                           << "其他"
                           << "实验幼儿园物流园区" << 43 << "";
    *row("物流园区 at 44: tail B") << "东澄街道"
                                   << "其他"
                                   << "实验幼儿园物流园区" << 44 << "对不起![实验幼儿园物流园区" + tailB;
    *row("回龙园区 at 42") << "西岭街道"
                           << "回龙社区"
                           << "西岭幼儿园回龙园区" << 42 << "";
    *row("回龙园区 at 43: tail C") << "西岭街道"
                                   << "回龙社区"
                                   << "西岭幼儿园回龙园区" << 43 << "对不起![西岭幼儿园回龙园区" + tailC;
  }
  QTest::newRow("sqlite: a name outside the table has no limit") << "sqlite"
                                                                 << "东澄街道"
                                                                 << "和平社区"
                                                                 << "实验幼儿园新园区" << 300 << "";
}

void SubmitTest::quota() {
  QFETCH(QString, backend);
  QFETCH(QString, street);
  QFETCH(QString, community);
  QFETCH(QString, kindergarten);
  QFETCH(int, already);
  QFETCH(QString, refusal);
  KG_REQUIRE_PG(TestStore::create(backend)->available());
  open(backend);
  m_store->fillKindergarten(kindergarten, already);
  fillApplication(street, community);
  if (Form2->yrymcCom->findText(kindergarten) < 0)
    Form2->yrymcCom->addItem(kindergarten);
  choose(Form2->yrymcCom, kindergarten);
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  if (refusal.isEmpty()) {
    QCOMPARE(m_client->boxes.texts().value(3), kSuccess);
    QCOMPARE(stored(), 1);
    QVERIFY(!Form2->isVisible());
  } else {
    QCOMPARE(m_client->boxes.texts(), QStringList{refusal});
    QCOMPARE(stored(), 0);
    QVERIFY(Form2->isVisible());
    QVERIFY(!Form1->BDOTab->isOpen());
  }
  QCOMPARE(m_store->count("select * from lz_yjxxk where 申请幼儿园名称='" + kindergarten + "'"),
           refusal.isEmpty() ? already + 1 : already);
}

void SubmitTest::quotaTakenDuringConfirmations() {
  // Other guardians take the last places while this one reads the warnings:
  // the append re-checks the quota in the store and refuses.
  open();
  m_store->fillKindergarten(QStringLiteral("实验幼儿园物流园区"), 43);
  fillApplication(QStringLiteral("东澄街道"), QStringLiteral("其他"), QStringLiteral("实验幼儿园物流园区"));
  m_client->boxes.onShow = [this](const dialogs::Shown &box) {
    if (box.text.contains(QStringLiteral("一旦提交将无法修改")))
      m_store->fillKindergarten(QStringLiteral("实验幼儿园物流园区"), 1);
  };
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().size(), 4);
  QCOMPARE(
      m_client->boxes.texts().last(),
      QStringLiteral("对不起![实验幼儿园物流园区]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名"));
  QCOMPARE(stored(), 0);
  QCOMPARE(m_store->count(QStringLiteral("select * from lz_yjxxk where 申请幼儿园名称='实验幼儿园物流园区'")), 44);
  QVERIFY(Form2->isVisible());
  QVERIFY(!QApplication::overrideCursor());
}

void SubmitTest::confirmations_data() {
  QTest::addColumn<QList<dialogs::Answer>>("answers");
  QTest::addColumn<int>("dialogsShown");
  QTest::addColumn<bool>("recorded");
  using A = dialogs::Answer;
  QTest::newRow("No to the first") << QList<A>{A::No} << 1 << false;
  QTest::newRow("No to the second") << QList<A>{A::Yes, A::No} << 2 << false;
  QTest::newRow("No to the third") << QList<A>{A::Yes, A::Yes, A::No} << 3 << false;
  QTest::newRow("closing goes on as Yes") << QList<A>{A::Closed, A::Closed, A::Closed} << 3 << true;
}

void SubmitTest::confirmations() {
  QFETCH(QList<dialogs::Answer>, answers);
  QFETCH(int, dialogsShown);
  QFETCH(bool, recorded);
  open();
  fillApplication();
  m_client->boxes.answers = answers;
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QList<dialogs::Shown> yesNo;
  for (const dialogs::Shown &box : m_client->boxes.shown)
    if (box.kind == dialogs::Kind::YesNo)
      yesNo.append(box);
  QCOMPARE(yesNo.size(), dialogsShown);
  QCOMPARE(yesNo[0].text,
           QStringLiteral("警告!\r\r    你申请的幼儿园是[实验幼儿园和平园区][小班],并仔细核对幼儿的入户时间,"
                          "如检查如果无误请选择[Yes]继续,否则选择[No]修改重报,请选择?"));
  if (dialogsShown > 1)
    QCOMPARE(yesNo[1].text,
             QStringLiteral("警告!\r\r    你填报的信息必须与实际情况相符,如有出入,则放弃对[实验幼儿园和平"
                            "园区][小班]的入学申请\r\r请仔细考虑是否继续?"));
  if (dialogsShown > 2)
    QCOMPARE(yesNo[2].text, QStringLiteral("警告!\r\r    请认真检查,仔细考虑一旦提交将无法修改,是否一定[提交申报表]?"));
  QCOMPARE(stored(), recorded ? 1 : 0);
  QCOMPARE(Form2->isVisible(), !recorded);
  if (!recorded) {
    QCOMPARE(m_client->boxes.shown.size(), dialogsShown); // No ends silently
    QCOMPARE(Form2->xmEdit->text(), QStringLiteral("王小红"));
  }
}

void SubmitTest::duplicate() {
  open();
  fillApplication();
  // Another client files the same child after this guardian's lookup.
  QVariantMap other = TestStore::sampleApplication(kNumber);
  other.insert(QStringLiteral("姓名"), QStringLiteral("赵小雨"));
  other.insert(QStringLiteral("申请幼儿园名称"), QStringLiteral("实验幼儿园东城园区"));
  m_store->insertApplication(other);
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  const QStringList texts = m_client->boxes.texts();
  QCOMPARE(texts.size(), 5);
  QCOMPARE(texts[3], QStringLiteral("[赵小雨]已在[实验幼儿园东城园区]申请成功.不能再进行填报"));
  QCOMPARE(texts[4], QStringLiteral("该儿童已在[实验幼儿园东城园区][小班]成功申请."));
  QVERIFY(Form2->isVisible());
  QVERIFY(Form1->DBGrid1->isVisible());
  QCOMPARE(tagOf(Form1->BitBtn2), 1);
  QCOMPARE(stored(), 1);
}

void SubmitTest::recordedRowReadsBack_data() {
  QTest::addColumn<QString>("backend");
  QTest::newRow("sqlite") << "sqlite";
  QTest::newRow("pg") << "pg";
}

void SubmitTest::recordedRowReadsBack() {
  QFETCH(QString, backend);
  KG_REQUIRE_PG(TestStore::create(backend)->available());
  open(backend);
  fillApplication(QStringLiteral("西岭街道"), QStringLiteral("李桥社区青云路以东"),
                  QStringLiteral("西岭幼儿园颂雅园区"));
  Form2->mqxmEdit->setText(QStringLiteral(" 李四 "));
  Form2->mqdhEdit->setText(QStringLiteral("139 "));
  Form2->fzxmEdit->setText(QStringLiteral(" 王大"));
  bool hourglassDuringSuccess = true;
  m_client->boxes.onShow = [&](const dialogs::Shown &box) {
    if (box.text == kSuccess)
      hourglassDuringSuccess = QApplication::overrideCursor() != nullptr;
  };
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);

  QCOMPARE(m_client->boxes.texts().mid(3),
           (QStringList{kSuccess, QStringLiteral("该儿童已在[西岭幼儿园颂雅园区][小班]成功申请.")}));
  QVERIFY(!hourglassDuringSuccess);
  QVERIFY(!QApplication::overrideCursor());
  QVERIFY(!Form2->isVisible());
  QVERIFY(Form1->DBGrid1->isVisible());
  QCOMPARE(Form1->DataSource1->rowCount(), 1);
  QCOMPARE(tagOf(Form1->BitBtn2), 1);

  const QMap<QString, QVariant> expected{{"姓名", "王小红"},
                                         {"性别", "女"},
                                         {"身份证号", kNumber},
                                         {"申请幼儿园名称", "西岭幼儿园颂雅园区"},
                                         {"部别", "小班"},
                                         {"民族", "汉族"},
                                         {"出生日期", "2019-03-05"},
                                         {"区县", "澄岭区"},
                                         {"镇乡或街道", "西岭街道"},
                                         {"村或社区", "李桥社区青云路以东"},
                                         {"组", "不分组"},
                                         {"户主姓名", " 王大"},
                                         {"户主与儿童关系", "父子"},
                                         {"户口簿详细地址", "和平路8号"},
                                         {"入户日期", "2020-01-02"},
                                         {"监护人一姓名", "王大"},
                                         {"监护人一电话", "13800000001"},
                                         {"监护人二姓名", "李四"},
                                         {"监护人二电话", "139"}};
  // Read back through a fresh lookup of the stored row.
  Form1->ADOTab->close();
  Form1->BitBtn1Click(Form1->BitBtn2);
  for (auto it = expected.cbegin(); it != expected.cend(); ++it)
    QCOMPARE(Form1->ADOTab->fieldAsString(it.key()), it.value().toString());
  QCOMPARE(Form1->ADOTab->fieldValue(QStringLiteral("填报日期")).toDateTime(),
           QDateTime(QDate(2022, 6, 20), QTime(0, 0)));
}

KG_TEST_MAIN(SubmitTest)
#include "tst_submit.moc"
