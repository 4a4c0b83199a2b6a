// The catchment cascade of the application form: the street step fills the
// communities, the community step the kindergartens of its catchment and the
// groups that lz_xzcz lists for it. Through the real lists, on a real store.

#include "fixture/testmain.h"

#include "filing/catchment.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/teststore.h"
#include "form/unit2.h"
#include "main/unit1.h"

#include <QAbstractItemView>
#include <QComboBox>

#include <memory>

namespace {

const QString kFailed = QStringLiteral("网络问题,操作失败");

QStringList items(QComboBox *combo) {
  QStringList list;
  for (int i = 0; i < combo->count(); ++i)
    list.append(combo->itemText(i));
  return list;
}

QStringList groups(int count) {
  QStringList list;
  for (int n = 1; n <= count; ++n)
    list.append(QString::number(n) + QStringLiteral("组"));
  return list;
}

// The guardian chooses an item from the opened list.
void choose(QComboBox *combo, const QString &text) {
  const int index = combo->findText(text, Qt::MatchExactly);
  QVERIFY2(index >= 0, qPrintable(text));
  combo->showPopup();
  QAbstractItemView *view = combo->view();
  QVERIFY(view->isVisible());
  view->setCurrentIndex(combo->model()->index(index, 0));
  QTest::keyClick(view, Qt::Key_Return);
  QVERIFY(!view->isVisible());
  QCOMPARE(combo->currentText(), text);
}

// The kindergartens of each rule, written out as the guardian reads them.
const QStringList kRule1 = {"实验幼儿园和平园区", "实验幼儿园解放东路园区", "实验幼儿园东城园区", "实验幼儿园物流园区"};
const QStringList kRule2 = {"实验幼儿园万福园区", "实验幼儿园和平园区", "实验幼儿园解放东路园区", "实验幼儿园物流园区",
                            "实验幼儿园东城园区"};
const QStringList kRule3 = {"实验幼儿园万福园区", "实验幼儿园物流园区", "实验幼儿园东城园区"};
const QStringList kRule4 = {"西岭幼儿园本部",     "西岭幼儿园松柏园区", "西岭幼儿园福安园区",
                            "西岭幼儿园颂雅园区", "西岭幼儿园回龙园区", "明湖幼儿园天悦园区"};
const QStringList kRule5 = {"明湖幼儿园西岭雅苑园区", "明湖幼儿园天悦园区", "西岭幼儿园松柏园区",
                            "西岭幼儿园福安园区",     "西岭幼儿园颂雅园区", "西岭幼儿园回龙园区"};
const QStringList kRule6 = {"实验幼儿园物流园区", "实验幼儿园东城园区"};
const QStringList kRule7 = {"明湖幼儿园天悦园区", "西岭幼儿园松柏园区", "西岭幼儿园福安园区", "西岭幼儿园颂雅园区",
                            "西岭幼儿园回龙园区"};

const QStringList kDongcheng = {"和平社区", "西岭社区", "北塘社区", "南苑社区",
                                "文兴社区", "石桥社区", "西塘社区", "其他"};
const QStringList kXiling = {"正阳社区", "新安社区", "李桥社区青云路以东", "李桥社区",
                             "太平社区", "槐荫社区", "回龙社区",           "其他"};
// The communities whose group list is "不分组".
const QStringList kUngrouped = {"李桥社区青云路以东", "李桥社区", "其他"};
// Every kindergarten of the catchments, in order of first appearance.
const QStringList kKindergartens = {"实验幼儿园和平园区", "实验幼儿园解放东路园区", "实验幼儿园东城园区",
                                    "实验幼儿园物流园区", "实验幼儿园万福园区",     "西岭幼儿园本部",
                                    "西岭幼儿园松柏园区", "西岭幼儿园福安园区",     "西岭幼儿园颂雅园区",
                                    "西岭幼儿园回龙园区", "明湖幼儿园天悦园区",     "明湖幼儿园西岭雅苑园区"};

} // namespace

class CascadeTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TestStore> store;
  std::unique_ptr<ClientWindows> windows;
  std::unique_ptr<DialogScript> script;

  // Every grouped community gets a count of its own, so that a group list
  // tells which community's query filled it.
  void giveEveryCommunityGroups() {
    int count = 2;
    for (const QString &community : kDongcheng + kXiling)
      if (!kUngrouped.contains(community))
        store->setGroupCount(community, count++);
  }

  // The statement the community step left in BDOTab.
  QString lastStatement() { return Form1->BDOTab->sql().render(); }

private slots:
  void init() {
    store = TestStore::sqlite();
    windows = std::make_unique<ClientWindows>(store->location());
    script = std::make_unique<DialogScript>();
    giveEveryCommunityGroups();
    Form2->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form2));
  }
  void cleanup() {
    script.reset();
    windows.reset();
    store.reset();
  }

  // --- the fixed tables ---

  void streetTable() {
    QCOMPARE(catchment::streets().size(), size_t(2));
    QCOMPARE(catchment::communities(QStringLiteral("东澄街道")), kDongcheng);
    QCOMPARE(catchment::communities(QStringLiteral("西岭街道")), kXiling);
    QCOMPARE(catchment::communities(QString()), QStringList());
    QCOMPARE(catchment::communities(QStringLiteral("东澄街道 ")), QStringList());
  }

  // Every community of both streets falls under exactly one rule.
  void everyCommunityOneRule() {
    const std::pair<QString, QStringList> streets[] = {{QStringLiteral("东澄街道"), kDongcheng},
                                                       {QStringLiteral("西岭街道"), kXiling}};
    for (const auto &[street, communities] : streets)
      for (const QString &community : communities) {
        int matching = 0;
        for (const catchment::Rule &rule : catchment::rules())
          matching += catchment::matches(rule, community, street);
        QVERIFY2(matching == 1, qPrintable(community));
      }
    QCOMPARE(catchment::kindergartensFor(QStringLiteral("其他"), QString()), QStringList());
    QCOMPARE(catchment::kindergartensFor(QStringLiteral("和平"), QStringLiteral("东澄街道")), QStringList());
  }

  void quotaTable_data() {
    QTest::addColumn<QString>("kindergarten");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QString>("tail");
    const QString a = QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名.");
    const QString b = QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名");
    const QString c = QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到西岭街道其他幼儿园联系报名");
    QTest::newRow("1") << "实验幼儿园和平园区" << 150 << a;
    QTest::newRow("2") << "实验幼儿园解放东路园区" << 85 << a;
    QTest::newRow("3") << "实验幼儿园万福园区" << 77 << b;
    QTest::newRow("4") << "实验幼儿园物流园区" << 44 << b;
    QTest::newRow("5") << "实验幼儿园东城园区" << 90 << b;
    QTest::newRow("6") << "西岭幼儿园本部" << 205 << c;
    QTest::newRow("7") << "西岭幼儿园松柏园区" << 82 << c;
    QTest::newRow("8") << "西岭幼儿园福安园区" << 88 << c;
    QTest::newRow("9") << "西岭幼儿园颂雅园区" << 85 << c;
    QTest::newRow("10") << "西岭幼儿园回龙园区" << 43 << c;
    QTest::newRow("11") << "明湖幼儿园天悦园区" << 118 << c;
    QTest::newRow("12") << "明湖幼儿园西岭雅苑园区" << 64 << c;
  }
  void quotaTable() {
    QFETCH(QString, kindergarten);
    QFETCH(int, capacity);
    QFETCH(QString, tail);
    const quota::Entry *entry = quota::find(kindergarten);
    QVERIFY(entry);
    QCOMPARE(entry->capacity, capacity);
    QVERIFY(!quota::full(*entry, capacity - 1));
    QVERIFY(quota::full(*entry, capacity));
    QCOMPARE(quota::tailText(entry->tail), tail);
    QCOMPARE(quota::refusal(*entry, kindergarten), QStringLiteral("对不起![") + kindergarten + tail);
    // Each kindergarten of the quota table is offered by some catchment.
    QVERIFY(kKindergartens.contains(kindergarten));
  }

  void quotaOrderAndUnknown() {
    QCOMPARE(quota::table().size(), size_t(12));
    QCOMPARE(QString::fromUtf8(quota::table()[0].kindergarten), QStringLiteral("实验幼儿园和平园区"));
    QCOMPARE(QString::fromUtf8(quota::table()[11].kindergarten), QStringLiteral("明湖幼儿园西岭雅苑园区"));
    QCOMPARE(quota::find(QStringLiteral("实验幼儿园")), nullptr);
    QCOMPARE(quota::find(QStringLiteral("西岭幼儿园本部 ")), nullptr);
    QCOMPARE(quota::find(QString()), nullptr);
    QCOMPARE(catchment::allKindergartens(), kKindergartens);
  }

  // --- the street step ---

  void streetStep_data() {
    QTest::addColumn<QString>("street");
    QTest::addColumn<QStringList>("communities");
    QTest::addColumn<QStringList>("kindergartens");
    QTest::newRow("东澄街道") << "东澄街道" << kDongcheng << kRule1;
    QTest::newRow("西岭街道") << "西岭街道" << kXiling << kRule4;
  }
  // Choosing a street lists its communities with the first selected, and
  // runs the community step for it: kindergartens and groups follow.
  void streetStep() {
    QFETCH(QString, street);
    QFETCH(QStringList, communities);
    QFETCH(QStringList, kindergartens);
    store->setGroupCount(communities.first(), 3);
    choose(Form2->xzjdCom, street);
    QCOMPARE(items(Form2->csqCom), communities);
    QCOMPARE(Form2->csqCom->currentIndex(), 0);
    QCOMPARE(items(Form2->yrymcCom), kindergartens);
    QCOMPARE(Form2->yrymcCom->currentIndex(), 0);
    QCOMPARE(items(Form2->zCom), groups(3));
    QCOMPARE(Form2->zCom->currentText(), QStringLiteral("1组"));
    QCOMPARE(lastStatement(), QStringLiteral("select * from lz_xzcz where 村或社区='") + communities.first() + "'");
    QVERIFY(Form1->BDOTab->isOpen());
    QVERIFY(script->texts().isEmpty());
  }

  // With no street chosen (the first start of a run) the step changes nothing.
  void noStreetChangesNothing() {
    Form2->xzjdComSelect(Form2->xzjdCom);
    QCOMPARE(Form2->csqCom->count(), 0);
    QCOMPARE(Form2->yrymcCom->count(), 0);
    QCOMPARE(Form2->zCom->count(), 0);
    QVERIFY(!Form1->BDOTab->isOpen());
    // After a choice, an empty street text keeps all three lists.
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    choose(Form2->csqCom, QStringLiteral("文兴社区"));
    Form2->xzjdCom->setCurrentIndex(-1);
    Form2->xzjdComSelect(Form2->xzjdCom);
    QCOMPARE(Form2->csqCom->currentText(), QStringLiteral("文兴社区"));
    QCOMPARE(items(Form2->yrymcCom), kRule3);
    QVERIFY(script->texts().isEmpty());
  }

  // The start runs the street step on the kept street: the community goes
  // back to the first of the street, and its catchment follows.
  void reopeningSelectsFirstCommunity() {
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    choose(Form2->csqCom, QStringLiteral("石桥社区"));
    QCOMPARE(Form2->yrymcCom->currentText(), QStringLiteral("实验幼儿园万福园区"));
    Form2->yrymcCom->setCurrentIndex(3);
    Form2->zCom->setCurrentIndex(1);
    Form2->BitBtn1->click();
    QVERIFY(!Form2->isVisible());
    Form2->xzjdComSelect(Form1->BitBtn2);
    Form2->show();
    QCOMPARE(Form2->xzjdCom->currentText(), QStringLiteral("东澄街道"));
    QCOMPARE(Form2->csqCom->currentText(), QStringLiteral("和平社区"));
    QCOMPARE(items(Form2->csqCom), kDongcheng);
    QCOMPARE(Form2->yrymcCom->currentText(), QStringLiteral("实验幼儿园和平园区"));
    QCOMPARE(Form2->zCom->currentText(), QStringLiteral("1组"));
    QCOMPARE(lastStatement(), QStringLiteral("select * from lz_xzcz where 村或社区='和平社区'"));
  }

  // Choosing the same street again has the same effect.
  void sameStreetAgain() {
    choose(Form2->xzjdCom, QStringLiteral("西岭街道"));
    choose(Form2->csqCom, QStringLiteral("回龙社区"));
    choose(Form2->xzjdCom, QStringLiteral("西岭街道"));
    QCOMPARE(Form2->csqCom->currentText(), QStringLiteral("正阳社区"));
    QCOMPARE(items(Form2->yrymcCom), kRule4);
  }

  // Switching streets replaces the communities and their catchment.
  void switchingStreets() {
    choose(Form2->xzjdCom, QStringLiteral("西岭街道"));
    choose(Form2->csqCom, QStringLiteral("其他"));
    QCOMPARE(items(Form2->yrymcCom), kRule7);
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    QCOMPARE(items(Form2->csqCom), kDongcheng);
    QCOMPARE(items(Form2->yrymcCom), kRule1);
  }

  // --- the community step ---

  void catchmentRules_data() {
    QTest::addColumn<QString>("street");
    QTest::addColumn<QString>("community");
    QTest::addColumn<QStringList>("kindergartens");
    QTest::addColumn<bool>("ungrouped");
    for (const char *community : {"和平社区", "西岭社区", "北塘社区", "南苑社区"})
      QTest::addRow("rule 1, %s", community) << "东澄街道" << community << kRule1 << false;
    QTest::newRow("rule 2, 石桥社区") << "东澄街道"
                                      << "石桥社区" << kRule2 << false;
    for (const char *community : {"文兴社区", "西塘社区"})
      QTest::addRow("rule 3, %s", community) << "东澄街道" << community << kRule3 << false;
    for (const char *community : {"正阳社区", "新安社区", "太平社区"})
      QTest::addRow("rule 4, %s", community) << "西岭街道" << community << kRule4 << false;
    QTest::newRow("rule 4, 李桥社区青云路以东") << "西岭街道"
                                                << "李桥社区青云路以东" << kRule4 << true;
    QTest::newRow("rule 5, 李桥社区") << "西岭街道"
                                      << "李桥社区" << kRule5 << true;
    for (const char *community : {"槐荫社区", "回龙社区"})
      QTest::addRow("rule 5, %s", community) << "西岭街道" << community << kRule5 << false;
    QTest::newRow("rule 6, 其他 under 东澄街道") << "东澄街道"
                                                 << "其他" << kRule6 << true;
    QTest::newRow("rule 7, 其他 under 西岭街道") << "西岭街道"
                                                 << "其他" << kRule7 << true;
  }
  void catchmentRules() {
    QFETCH(QString, street);
    QFETCH(QString, community);
    QFETCH(QStringList, kindergartens);
    QFETCH(bool, ungrouped);
    QCOMPARE(catchment::kindergartensFor(community, street), kindergartens);
    QCOMPARE(catchment::isUngrouped(community), ungrouped);
    // The ungrouped communities get "不分组" whatever the store holds.
    store->setGroupCount(community, 4);
    choose(Form2->xzjdCom, street);
    // Start from a community of the other catchment, so the list must change.
    Form2->yrymcCom->clear();
    choose(Form2->csqCom, community);
    QCOMPARE(items(Form2->yrymcCom), kindergartens);
    QCOMPARE(Form2->yrymcCom->currentIndex(), 0);
    QCOMPARE(items(Form2->zCom), ungrouped ? QStringList{"不分组"} : groups(4));
    QCOMPARE(Form2->zCom->currentIndex(), 0);
    // Every community asks the store, the ungrouped ones included.
    QCOMPARE(lastStatement(), QStringLiteral("select * from lz_xzcz where 村或社区='") + community + "'");
    QVERIFY(script->texts().isEmpty());
  }

  void groupCounts_data() {
    QTest::addColumn<bool>("row");
    QTest::addColumn<QVariant>("count");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("failed");
    QTest::newRow("0: empty, no message") << true << QVariant(0) << QStringList() << false;
    QTest::newRow("-2: empty, no message") << true << QVariant(-2) << QStringList() << false;
    QTest::newRow("1") << true << QVariant(1) << QStringList{"1组"} << false;
    QTest::newRow("3") << true << QVariant(3) << groups(3) << false;
    QTest::newRow("12: numeric order") << true << QVariant(12) << groups(12) << false;
    QTest::newRow("no row: message, empty") << false << QVariant() << QStringList() << true;
    QTest::newRow("null: message, empty") << true << QVariant() << QStringList() << true;
    // A count no community can have is damaged data, not a million groups.
    QTest::newRow("1000000: message, empty") << true << QVariant(1000000) << QStringList() << true;
  }
  void groupCounts() {
    QFETCH(bool, row);
    QFETCH(QVariant, count);
    QFETCH(QStringList, expected);
    QFETCH(bool, failed);
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    QCOMPARE(Form2->zCom->count(), 2); // 和平社区's own count
    if (row)
      store->setGroupCount(QStringLiteral("北塘社区"), count);
    else
      store->removeGroupCount(QStringLiteral("北塘社区"));
    choose(Form2->csqCom, QStringLiteral("北塘社区"));
    QCOMPARE(items(Form2->zCom), expected);
    QCOMPARE(Form2->zCom->currentIndex(), expected.isEmpty() ? -1 : 0);
    QCOMPARE(Form2->zCom->currentText(), expected.isEmpty() ? QString() : expected.first());
    QCOMPARE(script->texts(), failed ? QStringList{kFailed} : QStringList());
    // The kindergartens follow the community whatever the groups did.
    QCOMPARE(items(Form2->yrymcCom), kRule1);
    if (expected.size() == 12)
      QCOMPARE(expected.mid(9), (QStringList{"10组", "11组", "12组"}));
    // Choosing it again repeats the step.
    script->clear();
    store->setGroupCount(QStringLiteral("北塘社区"), 2);
    choose(Form2->csqCom, QStringLiteral("北塘社区"));
    QCOMPARE(items(Form2->zCom), groups(2));
    QVERIFY(script->texts().isEmpty());
  }

  // The store fails: the kindergartens already follow the new community, the
  // groups stay those of the community chosen before, the message shows.
  void storeFailing() {
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    store->setGroupCount(QStringLiteral("南苑社区"), 5);
    choose(Form2->csqCom, QStringLiteral("南苑社区"));
    Form2->zCom->setCurrentIndex(3);
    Form1->BDOTab->setLocation(store->unreachable());
    choose(Form2->csqCom, QStringLiteral("石桥社区"));
    QCOMPARE(items(Form2->yrymcCom), kRule2);
    QCOMPARE(Form2->yrymcCom->currentIndex(), 0);
    QCOMPARE(items(Form2->zCom), groups(5));
    QCOMPARE(Form2->zCom->currentText(), QStringLiteral("4组"));
    QCOMPARE(script->texts(), QStringList{kFailed});
    QVERIFY(Form2->isVisible());
  }

  // The ungrouped communities still run the query, so a failing store still
  // shows the message; their group list is then left as it was.
  void ungroupedStillQuery_data() {
    QTest::addColumn<QString>("street");
    QTest::addColumn<QString>("community");
    QTest::addColumn<QStringList>("kindergartens");
    QTest::newRow("李桥社区青云路以东") << "西岭街道"
                                        << "李桥社区青云路以东" << kRule4;
    QTest::newRow("李桥社区") << "西岭街道"
                              << "李桥社区" << kRule5;
    QTest::newRow("其他, 东澄街道") << "东澄街道"
                                    << "其他" << kRule6;
    QTest::newRow("其他, 西岭街道") << "西岭街道"
                                    << "其他" << kRule7;
  }
  void ungroupedStillQuery() {
    QFETCH(QString, street);
    QFETCH(QString, community);
    QFETCH(QStringList, kindergartens);
    store->removeGroupCount(community);
    choose(Form2->xzjdCom, street);
    // Without a row of its own it never reads 组数.
    choose(Form2->csqCom, community);
    QCOMPARE(items(Form2->zCom), QStringList{"不分组"});
    QVERIFY(script->texts().isEmpty());
    choose(Form2->csqCom, Form2->csqCom->itemText(0));
    const QStringList before = items(Form2->zCom);
    QVERIFY(!before.isEmpty());
    Form1->BDOTab->setLocation(store->unreachable());
    choose(Form2->csqCom, community);
    QCOMPARE(script->texts(), QStringList{kFailed});
    QCOMPARE(items(Form2->zCom), before);
    QCOMPARE(items(Form2->yrymcCom), kindergartens);
  }

  // A result without the column 组数 fails like a statement failure.
  void missingColumn() {
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    store->exec(QStringLiteral("drop table lz_xzcz"));
    store->exec(QStringLiteral("create table lz_xzcz (村或社区 varchar(40), 组 integer)"));
    store->exec(QStringLiteral("insert into lz_xzcz values ('西岭社区', 4)"));
    choose(Form2->csqCom, QStringLiteral("西岭社区"));
    QCOMPARE(script->texts(), QStringList{kFailed});
    QCOMPARE(Form2->zCom->count(), 0);
  }

  // Arrow keys on the closed community list select each community passed
  // and run the community step, with its query, for each.
  void arrowKeysRunTheStep() {
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    QComboBox *list = Form2->csqCom;
    QVERIFY(!list->view()->isVisible());
    list->setFocus();
    QVERIFY(list->hasFocus());
    const std::pair<QString, QStringList> expected[] = {
        {"西岭社区", kRule1}, {"北塘社区", kRule1}, {"南苑社区", kRule1}, {"文兴社区", kRule3},
        {"石桥社区", kRule2}, {"西塘社区", kRule3}, {"其他", kRule6}};
    for (const auto &[community, kindergartens] : expected) {
      QTest::keyClick(list, Qt::Key_Down);
      QVERIFY(!list->view()->isVisible());
      QCOMPARE(list->currentText(), community);
      QCOMPARE(lastStatement(), QStringLiteral("select * from lz_xzcz where 村或社区='") + community + "'");
      QCOMPARE(items(Form2->yrymcCom), kindergartens);
      if (community == QStringLiteral("其他"))
        QCOMPARE(items(Form2->zCom), QStringList{"不分组"});
      else
        QCOMPARE(Form2->zCom->currentText(), QStringLiteral("1组"));
    }
    // Up again, back to 西塘社区 and its groups.
    const int count = Form2->zCom->count();
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(list->currentText(), QStringLiteral("西塘社区"));
    QVERIFY(Form2->zCom->count() != count);
    QCOMPARE(lastStatement(), QStringLiteral("select * from lz_xzcz where 村或社区='西塘社区'"));
    // The street list steps the same way.
    Form2->xzjdCom->setFocus();
    QTest::keyClick(Form2->xzjdCom, Qt::Key_Down);
    QCOMPARE(Form2->xzjdCom->currentText(), QStringLiteral("西岭街道"));
    QCOMPARE(items(list), kXiling);
    QCOMPARE(items(Form2->yrymcCom), kRule4);
    QVERIFY(script->texts().isEmpty());
  }

  // Setting a list's index from code runs no step.
  void selectionFromCodeRunsNothing() {
    choose(Form2->xzjdCom, QStringLiteral("东澄街道"));
    const QString statement = lastStatement();
    Form2->csqCom->setCurrentIndex(5);
    QCOMPARE(items(Form2->yrymcCom), kRule1);
    Form2->xzjdCom->setCurrentIndex(1);
    QCOMPARE(items(Form2->csqCom), kDongcheng);
    QCOMPARE(lastStatement(), statement);
  }
};

KG_TEST_MAIN(CascadeTest)
#include "tst_cascade.moc"
