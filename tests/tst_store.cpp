// The query objects against a real store: SQLite always; PostgreSQL through
// its own driver and through ODBC ("PostgreSQL Unicode") when the test command
// has started the loopback server (KG_TEST_PG).

#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/odbc/backend.h"
#include "store/queryobject.h"
#include "store/schema.h"

#include <QRegularExpression>
#include <QSignalSpy>

namespace {

const QString kLookupHead = QStringLiteral(
    "select 姓名,性别,身份证号,申请幼儿园名称,部别,民族,出生日期,区县,镇乡或街道,村或社区,组,户主姓名,户主与儿童关系,"
    "户口簿详细地址,入户日期,监护人一姓名,监护人一电话,监护人二姓名,监护人二电话,填报日期 from lz_yjxxk where "
    "身份证号='");
const QString kQuotaHead = QStringLiteral("select 姓名 from lz_yjxxk where 申请幼儿园名称='");
const QString kDuplicateHead =
    QStringLiteral("select 身份证号,姓名,申请幼儿园名称,部别 from lz_yjxxk where 身份证号='");
const QString kGroupsHead = QStringLiteral("select * from lz_xzcz where 村或社区='");
const QString kNumber = QStringLiteral("110101201905011234");

// A store and the location a query object reaches it by.
struct Backend {
  std::unique_ptr<TestStore> store;
  StoreLocation location;
  bool available() const { return store->available(); }
};

Backend makeBackend(const QString &name) {
  Backend backend;
  backend.store = name == QLatin1String("sqlite") ? TestStore::sqlite() : TestStore::postgres();
  if (backend.store->available())
    backend.location = name == QLatin1String("odbc") ? backend.store->odbcLocation() : backend.store->location();
  return backend;
}

void addBackendColumn() { QTest::addColumn<QString>("backend"); }

const QStringList &backends() {
  static const QStringList names{QStringLiteral("sqlite"), QStringLiteral("pg"), QStringLiteral("odbc")};
  return names;
}

void backendRows() {
  addBackendColumn();
  for (const QString &name : backends())
    QTest::newRow(qPrintable(name)) << name;
}

#define OPEN_BACKEND(var)                                                                                              \
  QFETCH(QString, backend);                                                                                            \
  Backend var = makeBackend(backend);                                                                                  \
  KG_REQUIRE_PG(var.available());

void openLookup(QueryObject &query, const QString &number) {
  query.close();
  query.setSql(Statement::compare(kLookupHead, number));
  query.open();
}

// Appends one application through the query object, as the form records it.
void appendApplication(QueryObject &query, const QVariantMap &row, const AppendGuard *guard = nullptr) {
  query.append();
  for (auto it = row.cbegin(); it != row.cend(); ++it)
    query.setField(it.key(), it.value());
  query.post(guard);
}

AppendGuard guardFor(const QVariantMap &row) {
  AppendGuard guard;
  guard.quotaColumn = QStringLiteral("申请幼儿园名称");
  guard.quotaValue = row.value(guard.quotaColumn);
  guard.uniqueColumn = QStringLiteral("身份证号");
  guard.uniqueValue = row.value(guard.uniqueColumn);
  return guard;
}

} // namespace

class StoreTest : public QObject {
  Q_OBJECT
private slots:
  void emptyResult_data() { backendRows(); }
  void emptyResult();
  void filingSettings_data();
  void filingSettings();
  void severalRowsFirstCurrent_data() { backendRows(); }
  void severalRowsFirstCurrent();
  void missingColumnRaises_data() { backendRows(); }
  void missingColumnRaises();
  void refusedStatementLeavesConnectionUsable_data() { backendRows(); }
  void refusedStatementLeavesConnectionUsable();
  void valueOnlyCompared_data();
  void valueOnlyCompared();
  void applicationRoundTrip_data() { backendRows(); }
  void applicationRoundTrip();
  void getdateUnchanged_data() { backendRows(); }
  void getdateUnchanged();
  void groupCounts_data();
  void groupCounts();
  void unreachableOrRefused_data();
  void unreachableOrRefused();
  void reconnectsAfterLostConnection_data();
  void reconnectsAfterLostConnection();
  void commandTimeout_data();
  void commandTimeout();
  void modelFollowsUnlessDisabled_data() { backendRows(); }
  void modelFollowsUnlessDisabled();
  void appendMisuseRaises_data() { backendRows(); }
  void appendMisuseRaises();
  void guardedPost_data();
  void guardedPost();
  void uniqueKeyIsLastDefence_data() { backendRows(); }
  void uniqueKeyIsLastDefence();
  void tableReplacedUnderLiveQuery_data() { backendRows(); }
  void tableReplacedUnderLiveQuery();
  void valuesAsTheDriverReadsThem_data();
  void valuesAsTheDriverReadsThem();
  void markInsideQuotesIsText_data() { backendRows(); }
  void markInsideQuotesIsText();
  void nullTextStoredAsNull_data() { backendRows(); }
  void nullTextStoredAsNull();
  void storeRefusesTextWithoutGbk_data();
  void storeRefusesTextWithoutGbk();
  void sqlServerAppendProcedure();
};

void StoreTest::emptyResult() {
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, kNumber);
  QVERIFY(query.isOpen());
  QCOMPARE(query.rowCount(), 0);
  QCOMPARE(query.columnNames(), schema::applicationColumns());
  QCOMPARE(query.fieldAsString(QStringLiteral("申请幼儿园名称")), QString());
  QCOMPARE(query.fieldAsBoolean(QStringLiteral("姓名")), false);
  QVERIFY(query.fieldValue(QStringLiteral("填报日期")).isNull());
  query.close();
  QVERIFY(!query.isOpen());
  QCOMPARE(query.rowCount(), 0);
  query.close(); // nothing happens on a closed query
}

void StoreTest::filingSettings_data() {
  addBackendColumn();
  QTest::addColumn<QString>("setup"); // reference, closed, nullSwitch, nullVersion, noRow, severalRows
  QTest::addColumn<bool>("open");
  QTest::addColumn<QString>("version");
  for (const QString &name : backends()) {
    auto row = [&](const char *setup) {
      return &(QTest::newRow(qPrintable(name + QStringLiteral(": ") + QLatin1String(setup))) << name << setup);
    };
    *row("reference") << true << "202206181";
    *row("closed") << false << "202206181";
    *row("nullSwitch") << false << "202206181";
    *row("nullVersion") << true << "";
    *row("noRow") << false << "";
    *row("severalRows") << true << "202206181";
  }
}

void StoreTest::filingSettings() {
  OPEN_BACKEND(db);
  QFETCH(QString, setup);
  QFETCH(bool, open);
  QFETCH(QString, version);
  if (setup == QLatin1String("closed"))
    db.store->setFilingOpen(false);
  if (setup == QLatin1String("nullSwitch"))
    db.store->setFilingOpen(QVariant());
  if (setup == QLatin1String("nullVersion"))
    db.store->setVersion(QVariant());
  if (setup == QLatin1String("noRow"))
    db.store->deleteKttbRows();
  if (setup == QLatin1String("severalRows"))
    db.store->addKttbRow(false, QStringLiteral("202206180"));

  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  query.clearSql();
  query.addSql(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb"));
  query.open();
  QCOMPARE(query.fieldAsBoolean(QStringLiteral("幼儿园填报")), open);
  QCOMPARE(query.fieldAsString(QStringLiteral("幼儿园版本")), version);
  QCOMPARE(query.fieldValue(QStringLiteral("幼儿园版本")).isNull(), version.isEmpty());
}

void StoreTest::severalRowsFirstCurrent() {
  OPEN_BACKEND(db);
  const QString kindergarten = QStringLiteral("西岭幼儿园本部");
  const QStringList names{QStringLiteral("甲"), QStringLiteral("乙"), QStringLiteral("丙")};
  for (const QString &name : names)
    db.store->insertApplication({{QStringLiteral("姓名"), name}, {QStringLiteral("申请幼儿园名称"), kindergarten}});
  db.store->insertApplication({{QStringLiteral("申请幼儿园名称"), QStringLiteral("西岭幼儿园回龙园区")}});

  QueryObject query(QStringLiteral("BDOTab"), 30, db.location);
  query.setSql(Statement::compare(kQuotaHead, kindergarten));
  query.open();
  QCOMPARE(query.rowCount(), 3);
  QCOMPARE(query.columnNames(), QStringList{QStringLiteral("姓名")});
  QVERIFY(names.contains(query.fieldAsString(QStringLiteral("姓名"))));
  QCOMPARE(query.model()->rowCount(), 3);
  QCOMPARE(query.model()->index(0, 0).data().toString(), query.fieldAsString(QStringLiteral("姓名")));
}

void StoreTest::missingColumnRaises() {
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("BDOTab"), 30, db.location);
  query.setSql(Statement::compare(kGroupsHead, QStringLiteral("和平社区")));
  query.open();
  QCOMPARE(query.rowCount(), 1);
  QVERIFY_THROWS_EXCEPTION(StoreError, query.fieldValue(QStringLiteral("组")));
  QVERIFY_THROWS_EXCEPTION(StoreError, query.fieldAsString(QStringLiteral("组数 ")));
  QVERIFY_THROWS_EXCEPTION(StoreError, query.fieldAsBoolean(QStringLiteral("")));
  QCOMPARE(query.fieldValue(QStringLiteral("组数")).toInt(), 6);

  query.close();
  query.setSql(Statement::compare(kGroupsHead, QStringLiteral("没有的社区")));
  query.open();
  QCOMPARE(query.rowCount(), 0);
  QVERIFY_THROWS_EXCEPTION(StoreError, query.fieldValue(QStringLiteral("组")));
  QVERIFY(query.fieldValue(QStringLiteral("组数")).isNull());
}

// A statement the server refuses, when it is new on the connection (refused
// as it is prepared, or as it runs) and when it is run again: each time the
// server's reason, and the same connection goes on with the next statement,
// whose changes are committed (another connection sees them).
void StoreTest::refusedStatementLeavesConnectionUsable() {
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("BDOTab"), 30, db.location);
  auto refused = [&](const QString &text, const QString &reason) {
    query.close();
    query.setSql(Statement::plain(text));
    try {
      query.open();
    } catch (const StoreError &error) {
      const QRegularExpression expected(reason, QRegularExpression::CaseInsensitiveOption);
      QVERIFY2(QString::fromUtf8(error.what()).contains(expected), error.what());
      return;
    }
    QFAIL("the statement was not refused");
  };
  auto worksAgain = [&] {
    query.close();
    query.setSql(Statement::compare(kGroupsHead, QStringLiteral("和平社区")));
    query.open();
    QCOMPARE(query.rowCount(), 1);
    QCOMPARE(query.fieldValue(QStringLiteral("组数")).toInt(), 6);
  };
  for (int round = 0; round < 2; ++round) {
    refused(QStringLiteral("select 组数 from lz_xzcz where"), QStringLiteral("syntax|incomplete"));
    worksAgain();
    refused(QStringLiteral("select 组数 from lz_xzcz_missing"), QStringLiteral("lz_xzcz_missing"));
    worksAgain();
    // Prepared without complaint, refused as it runs.
    refused(QStringLiteral("select abs(-9223372036854775807 - 1) as n from lz_xzcz"),
            QStringLiteral("overflow|out of range"));
    worksAgain();

    const QString number = QStringLiteral("51010520190501%1").arg(round, 4, 10, QLatin1Char('0'));
    openLookup(query, number);
    appendApplication(query, TestStore::sampleApplication(number));
    QueryObject other(QStringLiteral("ADOTab"), 10, db.location);
    openLookup(other, number);
    QCOMPARE(other.rowCount(), 1);
  }
}

void StoreTest::valueOnlyCompared_data() {
  addBackendColumn();
  QTest::addColumn<QString>("value");
  for (const QString &name : backends()) {
    QTest::newRow(qPrintable(name + QStringLiteral(": quote"))) << name << QStringLiteral("'");
    QTest::newRow(qPrintable(name + QStringLiteral(": drop table")))
        << name << QStringLiteral("';drop table lz_yjxxk;--");
    QTest::newRow(qPrintable(name + QStringLiteral(": always true"))) << name << QStringLiteral("x' or '1'='1");
    QTest::newRow(qPrintable(name + QStringLiteral(": backslash")))
        << name << QStringLiteral("\\'; delete from lz_yjxxk;--");
  }
}

void StoreTest::valueOnlyCompared() {
  OPEN_BACKEND(db);
  QFETCH(QString, value);
  db.store->insertApplication({});
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, value);
  QCOMPARE(query.rowCount(), 0);
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 1);

  // A row that holds the text itself is found by it, and only that row (when
  // the text fits the 18 characters of the column).
  if (value.size() > 18)
    return;
  db.store->insertApplication({{QStringLiteral("身份证号"), value}});
  query.close();
  openLookup(query, value);
  QCOMPARE(query.rowCount(), 1);
  QCOMPARE(query.fieldAsString(QStringLiteral("身份证号")), value);
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 2);
}

void StoreTest::applicationRoundTrip() {
  OPEN_BACKEND(db);
  QVariantMap row = TestStore::sampleApplication(kNumber);
  row.insert(QStringLiteral("姓名"), QStringLiteral("欧阳娜娜"));
  row.insert(QStringLiteral("申请幼儿园名称"), QStringLiteral("明湖幼儿园西岭雅苑园区"));
  row.insert(QStringLiteral("村或社区"), QStringLiteral("李桥社区青云路以东"));
  row.insert(QStringLiteral("组"), QStringLiteral("不分组"));
  row.insert(QStringLiteral("户口簿详细地址"), QStringLiteral("澄岭区西岭街道李桥社区青云路以东幸福家园12栋3单元"));
  row.insert(QStringLiteral("监护人二姓名"), QString());
  row.insert(QStringLiteral("监护人二电话"), QString());
  row.insert(QStringLiteral("填报日期"), QDateTime(QDate(2022, 6, 21), QTime(0, 0)));

  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, kNumber);
  appendApplication(query, row);
  QCOMPARE(query.rowCount(), 0); // the post leaves the result as it was
  query.requery();
  QCOMPARE(query.rowCount(), 1);
  for (const QString &column : schema::applicationColumns()) {
    if (column == QStringLiteral("填报日期"))
      continue;
    QCOMPARE(query.fieldAsString(column), row.value(column).toString());
  }
  const QVariant filed = query.fieldValue(QStringLiteral("填报日期"));
  QCOMPARE(filed.typeId(), int(QMetaType::QDateTime));
  QCOMPARE(filed.toDateTime(), QDateTime(QDate(2022, 6, 21), QTime(0, 0)));
  QCOMPARE(query.fieldAsString(QStringLiteral("填报日期")), QStringLiteral("2022-06-21"));
  QCOMPARE(query.fieldValue(QStringLiteral("出生日期")).toString(), QStringLiteral("2019-05-01"));
  QCOMPARE(query.fieldValue(QStringLiteral("入户日期")).toString(), QStringLiteral("2019-06-01"));

  // The same row through another connection, by the stored text.
  QueryObject other(QStringLiteral("BDOTab"), 30, db.location);
  other.setSql(Statement::compare(kDuplicateHead, kNumber));
  other.open();
  QCOMPARE(other.rowCount(), 1);
  QCOMPARE(other.fieldAsString(QStringLiteral("姓名")), QStringLiteral("欧阳娜娜"));
  QCOMPARE(other.fieldAsString(QStringLiteral("申请幼儿园名称")), QStringLiteral("明湖幼儿园西岭雅苑园区"));
  other.close();
  other.setSql(Statement::compare(kQuotaHead, QStringLiteral("明湖幼儿园西岭雅苑园区")));
  other.open();
  QCOMPARE(other.rowCount(), 1);
}

void StoreTest::getdateUnchanged() {
  OPEN_BACKEND(db);
  const QDateTime filingDay(QDate(2022, 6, 20), QTime(10, 15, 30));
  QVERIFY(db.store->setClock(filingDay));
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  query.clearSql();
  query.addSql(QStringLiteral("select getdate() as 日期"));
  QCOMPARE(query.sql().render(), QStringLiteral("select getdate() as 日期"));
  QCOMPARE(query.sql().prepared(), QStringLiteral("select getdate() as 日期"));
  query.open();
  QCOMPARE(query.columnNames(), QStringList{QStringLiteral("日期")});
  const QVariant now = query.fieldValue(QStringLiteral("日期"));
  QCOMPARE(now.typeId(), int(QMetaType::QDateTime));
  QCOMPARE(now.toDateTime().date(), filingDay.date());
  const qint64 drift = filingDay.secsTo(now.toDateTime());
  QVERIFY2(drift >= -1 && drift < 120, qPrintable(now.toDateTime().toString(Qt::ISODate)));
}

void StoreTest::groupCounts_data() {
  addBackendColumn();
  QTest::addColumn<QString>("community");
  QTest::addColumn<QVariant>("stored"); // invalid: keep the reference row; "remove": no row
  QTest::addColumn<int>("rows");
  QTest::addColumn<QVariant>("count"); // null QVariant: reads as null
  for (const QString &name : backends()) {
    auto row = [&](const char *label) { return &(QTest::newRow(qPrintable(name + ": " + label)) << name); };
    *row("reference twelve") << QStringLiteral("正阳社区") << QVariant() << 1 << QVariant(12);
    *row("reference three") << QStringLiteral("西塘社区") << QVariant() << 1 << QVariant(3);
    *row("zero") << QStringLiteral("和平社区") << QVariant(0) << 1 << QVariant(0);
    *row("null count") << QStringLiteral("文兴社区") << QVariant(QStringLiteral("null")) << 1 << QVariant();
    *row("no row") << QStringLiteral("北塘社区") << QVariant(QStringLiteral("remove")) << 0 << QVariant();
  }
}

void StoreTest::groupCounts() {
  OPEN_BACKEND(db);
  QFETCH(QString, community);
  QFETCH(QVariant, stored);
  QFETCH(int, rows);
  QFETCH(QVariant, count);
  if (stored.toString() == QLatin1String("remove"))
    db.store->removeGroupCount(community);
  else if (stored.toString() == QLatin1String("null"))
    db.store->setGroupCount(community, QVariant());
  else if (stored.isValid())
    db.store->setGroupCount(community, stored);

  QueryObject query(QStringLiteral("BDOTab"), 30, db.location);
  query.setSql(Statement::compare(kGroupsHead, community));
  query.open();
  QCOMPARE(query.rowCount(), rows);
  const QVariant value = query.fieldValue(QStringLiteral("组数"));
  QCOMPARE(value.isNull(), count.isNull());
  if (!count.isNull())
    QCOMPARE(value.toInt(), count.toInt());
}

void StoreTest::unreachableOrRefused_data() {
  addBackendColumn();
  QTest::addColumn<QString>("failure");
  for (const QString &name : backends()) {
    QTest::newRow(qPrintable(name + QStringLiteral(": unreachable"))) << name << QStringLiteral("unreachable");
    if (name != QLatin1String("sqlite"))
      QTest::newRow(qPrintable(name + QStringLiteral(": wrong password"))) << name << QStringLiteral("password");
  }
}

void StoreTest::unreachableOrRefused() {
  OPEN_BACKEND(db);
  QFETCH(QString, failure);
  StoreLocation bad = failure == QLatin1String("unreachable") ? db.store->unreachable() : db.store->wrongPassword();
  if (backend == QLatin1String("odbc")) {
    StoreLocation odbc = db.location;
    odbc.odbcConnection.replace(QStringLiteral("Port=%1").arg(db.store->location().port),
                                QStringLiteral("Port=%1").arg(bad.port));
    odbc.odbcConnection.replace(QStringLiteral("Pwd=%1").arg(db.store->location().password),
                                QStringLiteral("Pwd=%1").arg(bad.password));
    bad = odbc;
  }
  QueryObject query(QStringLiteral("ADOTab"), 10, bad);
  query.clearSql();
  query.addSql(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb"));
  QVERIFY_THROWS_EXCEPTION(StoreError, query.open());
  QVERIFY(!query.isOpen());
  // The same object works once it is pointed at the store.
  query.setLocation(db.location);
  query.clearSql();
  query.addSql(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb"));
  query.open();
  QCOMPARE(query.fieldAsString(QStringLiteral("幼儿园版本")), QStringLiteral("202206181"));
}

void StoreTest::reconnectsAfterLostConnection_data() {
  addBackendColumn();
  QTest::addColumn<QString>("next"); // what runs on the lost connection: select, guardedPost
  for (const QString &name : {QStringLiteral("pg"), QStringLiteral("odbc")}) {
    QTest::newRow(qPrintable(name + QStringLiteral(": select"))) << name << QStringLiteral("select");
    QTest::newRow(qPrintable(name + QStringLiteral(": guarded post"))) << name << QStringLiteral("guardedPost");
  }
}

void StoreTest::reconnectsAfterLostConnection() {
  OPEN_BACKEND(db);
  QFETCH(QString, next);
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, kNumber);
  QCOMPARE(query.rowCount(), 0);

  // The server ends every session of the database, as a restart does (and
  // waits until they are gone); the query object is not told.
  db.store->exec(QStringLiteral("select pg_terminate_backend(pid, 5000) from pg_stat_activity where datname = "
                                "current_database() and pid <> pg_backend_pid()"));

  if (next == QLatin1String("select")) {
    query.close();
    openLookup(query, kNumber);
    QCOMPARE(query.rowCount(), 0);
  } else {
    const QVariantMap row = TestStore::sampleApplication(kNumber);
    const AppendGuard guard = guardFor(row);
    appendApplication(query, row, &guard);
    query.requery();
    QCOMPARE(query.rowCount(), 1);
  }
}

void StoreTest::commandTimeout_data() {
  addBackendColumn();
  for (const QString &name : backends())
    QTest::newRow(qPrintable(name)) << name;
}

void StoreTest::commandTimeout() {
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("BDOTab"), 1, db.location);
  if (backend == QLatin1String("sqlite")) {
    // Another writer holds the store: the guarded append gives up after the
    // busy time-out instead of waiting for ever.
    openLookup(query, kNumber);
    db.store->exec(QStringLiteral("BEGIN IMMEDIATE"));
    const QVariantMap row = TestStore::sampleApplication(kNumber);
    const AppendGuard guard = guardFor(row);
    query.append();
    for (auto it = row.cbegin(); it != row.cend(); ++it)
      query.setField(it.key(), it.value());
    QVERIFY_THROWS_EXCEPTION(StoreError, query.post(&guard));
    db.store->exec(QStringLiteral("ROLLBACK"));
    QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 0);
  } else {
    // On a kept connection, and run once only: a statement that timed out on
    // a live connection is not tried again (the sequence counts the runs).
    openLookup(query, kNumber);
    query.close();
    db.store->exec(QStringLiteral("create sequence kg_runs"));
    query.setSql(Statement::plain(QStringLiteral("select nextval('kg_runs') as 次数, pg_sleep(4) as 日期")));
    QVERIFY_THROWS_EXCEPTION(StoreError, query.open());
    QVERIFY(!query.isOpen());
    QCOMPARE(db.store->value(QStringLiteral("select last_value from kg_runs")).toInt(), 1);
  }
  // The object goes on working afterwards.
  openLookup(query, kNumber);
  QCOMPARE(query.rowCount(), 0);
}

void StoreTest::modelFollowsUnlessDisabled() {
  OPEN_BACKEND(db);
  db.store->insertApplication({{QStringLiteral("身份证号"), kNumber}});
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  ResultModel *model = query.model();
  QSignalSpy resets(model, &QAbstractItemModel::modelReset);

  query.disableControls();
  openLookup(query, kNumber);
  QCOMPARE(model->rowCount(), 0); // suspended: the grid does not follow
  QCOMPARE(model->columnCount(), 0);
  QCOMPARE(resets.count(), 0);
  query.setDisplayWidth(QStringLiteral("姓名"), 8);
  query.setDisplayWidth(QStringLiteral("身份证号"), 18);
  QCOMPARE(query.displayWidth(QStringLiteral("姓名")), 8);
  QCOMPARE(query.displayWidth(QStringLiteral("部别")), 0);
  QVERIFY_THROWS_EXCEPTION(StoreError, query.setDisplayWidth(QStringLiteral("没有"), 3));
  query.enableControls();
  QCOMPARE(resets.count(), 1);
  QCOMPARE(model->rowCount(), 1);
  QCOMPARE(model->columnCount(), 20);
  QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("姓名"));
  QCOMPARE(model->headerData(0, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt(), 8);
  QCOMPARE(model->headerData(2, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt(), 18);
  QCOMPARE(model->headerData(4, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt(), 0);
  QCOMPARE(model->index(0, 2).data().toString(), kNumber);
  QCOMPARE(model->index(0, 19).data().toString(), QStringLiteral("2022-06-20"));

  // A width set while the grid follows shows at once.
  QSignalSpy headers(model, &QAbstractItemModel::headerDataChanged);
  query.setDisplayWidth(QStringLiteral("部别"), 4);
  QCOMPARE(headers.count(), 1);
  QCOMPARE(model->headerData(4, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt(), 4);

  // Closing empties the grid; a new open resets the widths.
  query.close();
  QCOMPARE(model->rowCount(), 0);
  openLookup(query, kNumber);
  QCOMPARE(query.displayWidth(QStringLiteral("姓名")), 0);
  QCOMPARE(model->rowCount(), 1);
  QCOMPARE(model->headerData(0, Qt::Horizontal, ResultModel::DisplayWidthRole).toInt(), 0);

  // While suspended, a close leaves the grid on the old result.
  query.disableControls();
  query.close();
  QCOMPARE(model->rowCount(), 1);
  query.enableControls();
  QCOMPARE(model->rowCount(), 0);
}

void StoreTest::appendMisuseRaises() {
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  QVERIFY_THROWS_EXCEPTION(StoreError, query.append()); // closed
  QVERIFY_THROWS_EXCEPTION(StoreError, query.requery());
  openLookup(query, kNumber);
  QVERIFY_THROWS_EXCEPTION(StoreError, query.post()); // nothing appended
  query.append();
  QVERIFY_THROWS_EXCEPTION(StoreError, query.setField(QStringLiteral("年龄"), 3));
  query.close();
  QVERIFY_THROWS_EXCEPTION(StoreError, query.post()); // the close discarded the new row
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 0);
}

void StoreTest::guardedPost_data() {
  addBackendColumn();
  QTest::addColumn<int>("stored");   // applications already stored for the kindergarten
  QTest::addColumn<int>("capacity"); // the store's capacity (lz_yeyme); -1: the store has none
  QTest::addColumn<bool>("sameNumberStored");
  QTest::addColumn<QString>("outcome"); // stored, quotaFull, duplicate
  for (const QString &name : backends()) {
    auto row = [&](const char *label) { return &(QTest::newRow(qPrintable(name + ": " + label)) << name); };
    *row("last place") << 2 << 3 << false << "stored";
    *row("quota full") << 3 << 3 << false << "quotaFull";
    *row("over quota") << 4 << 3 << false << "quotaFull";
    *row("no capacity in the store: no limit") << 4 << -1 << false << "stored";
    *row("zero capacity") << 0 << 0 << false << "quotaFull";
    *row("duplicate") << 0 << 3 << true << "duplicate";
    *row("full and duplicate") << 3 << 3 << true << "quotaFull";
  }
}

void StoreTest::guardedPost() {
  OPEN_BACKEND(db);
  QFETCH(int, stored);
  QFETCH(int, capacity);
  QFETCH(bool, sameNumberStored);
  QFETCH(QString, outcome);
  const QString kindergarten = QStringLiteral("实验幼儿园物流园区");
  if (capacity >= 0)
    db.store->setCapacity(kindergarten, capacity);
  else
    db.store->exec(QStringLiteral("delete from lz_yeyme where 申请幼儿园名称 = '%1'").arg(kindergarten));
  db.store->fillKindergarten(kindergarten, stored);
  if (sameNumberStored)
    db.store->insertApplication({{QStringLiteral("身份证号"), kNumber},
                                 {QStringLiteral("姓名"), QStringLiteral("王先到")},
                                 {QStringLiteral("申请幼儿园名称"), QStringLiteral("实验幼儿园万福园区")}});
  const int before = db.store->count(QStringLiteral("select * from lz_yjxxk"));

  QVariantMap row = TestStore::sampleApplication(kNumber);
  row.insert(QStringLiteral("申请幼儿园名称"), kindergarten);
  const AppendGuard guard = guardFor(row);
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, kNumber);
  try {
    appendApplication(query, row, &guard);
    QCOMPARE(outcome, QStringLiteral("stored"));
    QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), before + 1);
    QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber)), 1);
  } catch (const AppendRefused &refused) {
    QCOMPARE(refused.reason() == AppendRefused::Reason::QuotaFull ? QStringLiteral("quotaFull")
                                                                  : QStringLiteral("duplicate"),
             outcome);
    if (refused.reason() == AppendRefused::Reason::Duplicate) {
      QCOMPARE(refused.existing().value(QStringLiteral("身份证号")).toString(), kNumber);
      QCOMPARE(refused.existing().value(QStringLiteral("姓名")).toString(), QStringLiteral("王先到"));
      QCOMPARE(refused.existing().value(QStringLiteral("申请幼儿园名称")).toString(),
               QStringLiteral("实验幼儿园万福园区"));
      QCOMPARE(refused.existing().value(QStringLiteral("部别")).toString(), QStringLiteral("小班"));
    }
    QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), before);
  } catch (const StoreError &error) {
    QVERIFY2(error.message().contains(QStringLiteral("no capacity")), qPrintable(error.message()));
    QCOMPARE(outcome, QStringLiteral("failed"));
    QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), before);
  }
  // The refusal leaves the object usable on the same connection.
  query.requery();
  QCOMPARE(query.rowCount(),
           outcome == QLatin1String("quotaFull") || outcome == QLatin1String("failed") ? int(sameNumberStored) : 1);
}

void StoreTest::uniqueKeyIsLastDefence() {
  OPEN_BACKEND(db);
  db.store->insertApplication(
      {{QStringLiteral("身份证号"), kNumber}, {QStringLiteral("姓名"), QStringLiteral("王先到")}});
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, QStringLiteral("110101201905019999")); // looked up before the other client stored it

  // Without a guard the key refuses the second row.
  QVERIFY_THROWS_EXCEPTION(StoreError, appendApplication(query, TestStore::sampleApplication(kNumber)));
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 1);
}

void StoreTest::tableReplacedUnderLiveQuery() {
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("BDOTab"), 30, db.location);
  query.setSql(Statement::compare(kGroupsHead, QStringLiteral("西岭社区")));
  query.open();
  QCOMPARE(query.fieldValue(QStringLiteral("组数")).toInt(), 8);

  // The administrator replaces the table while the client keeps its
  // connection: the next run of the same statement reads the new columns.
  db.store->exec(QStringLiteral("drop table lz_xzcz"));
  db.store->exec(QStringLiteral("create table lz_xzcz (村或社区 varchar(40), 组 integer, 备注 varchar(10))"));
  db.store->exec(QStringLiteral("insert into lz_xzcz values ('西岭社区', 4, '新')"));
  query.close();
  query.open();
  QCOMPARE(query.columnNames(),
           (QStringList{QStringLiteral("村或社区"), QStringLiteral("组"), QStringLiteral("备注")}));
  QCOMPARE(query.fieldValue(QStringLiteral("组")).toInt(), 4);
  QVERIFY_THROWS_EXCEPTION(StoreError, query.fieldValue(QStringLiteral("组数")));
}

void StoreTest::valuesAsTheDriverReadsThem_data() {
  addBackendColumn();
  QTest::addColumn<QString>("expression");
  const QStringList sqlite{QStringLiteral("1"),         QStringLiteral("9007199254740993"), QStringLiteral("-2.5"),
                           QStringLiteral("x'00ff10'"), QStringLiteral("'汉字 text'"),      QStringLiteral("''"),
                           QStringLiteral("null")};
  const QStringList pg{QStringLiteral("true"),
                       QStringLiteral("false"),
                       QStringLiteral("12::int2"),
                       QStringLiteral("-7::int4"),
                       QStringLiteral("9007199254740993::int8"),
                       QStringLiteral("1.5::numeric"),
                       QStringLiteral("2.25::float8"),
                       QStringLiteral("'Infinity'::float8"),
                       QStringLiteral("date '2022-06-20'"),
                       QStringLiteral("time '10:15:30'"),
                       QStringLiteral("timestamp '2022-06-20 10:15:30'"),
                       QStringLiteral("timestamp '2022-06-20 10:15:30.1'"),
                       QStringLiteral("timestamp '2022-06-20 10:15:30.12'"),
                       QStringLiteral("timestamp '2022-06-20 10:15:30.123'"),
                       QStringLiteral("timestamp '2022-06-20 23:59:59.999999'"),
                       QStringLiteral("timestamptz '2022-06-20 10:15:30+08'"),
                       QStringLiteral("'\\x00ff10'::bytea"),
                       QStringLiteral("'汉字 text'::varchar(20)"),
                       QStringLiteral("'ab'::char(4)"),
                       QStringLiteral("''::text"),
                       QStringLiteral("null::text"),
                       QStringLiteral("null::timestamp")};
  for (const QString &expression : sqlite)
    QTest::newRow(qPrintable(QStringLiteral("sqlite: ") + expression)) << QStringLiteral("sqlite") << expression;
  for (const QString &expression : pg)
    QTest::newRow(qPrintable(QStringLiteral("pg: ") + expression)) << QStringLiteral("pg") << expression;
}

void StoreTest::valuesAsTheDriverReadsThem() {
  // The query object reads the stores itself; every value must come out as
  // Qt's own driver gives it (a date as a date-time at midnight).
  OPEN_BACKEND(db);
  QFETCH(QString, expression);
  const QString select = QStringLiteral("select %1 as 值").arg(expression);
  QVariant expected = db.store->value(select);
  if (expected.typeId() == QMetaType::QDate)
    expected = QDateTime(expected.toDate(), QTime(0, 0));
  QueryObject query(QStringLiteral("BDOTab"), 30, db.location);
  query.setSql(Statement::plain(select));
  for (int run = 0; run < 2; ++run) { // described at the first run, kept for the next
    query.close();
    query.open();
    const QVariant value = query.fieldValue(QStringLiteral("值"));
    QCOMPARE(value.typeId(), expected.typeId());
    QCOMPARE(value, expected);
  }
}

void StoreTest::markInsideQuotesIsText() {
  OPEN_BACKEND(db);
  db.store->insertApplication({{QStringLiteral("身份证号"), kNumber}, {QStringLiteral("姓名"), QStringLiteral("王?")}});
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  query.setSql(Statement::compare(
      QStringLiteral("select '?' as \"问?\", 姓名 from lz_yjxxk where 姓名 <> 'a?b' and 身份证号='"), kNumber));
  query.open();
  QCOMPARE(query.rowCount(), 1);
  QCOMPARE(query.fieldAsString(QStringLiteral("问?")), QStringLiteral("?"));
  QCOMPARE(query.fieldAsString(QStringLiteral("姓名")), QStringLiteral("王?"));
}

void StoreTest::nullTextStoredAsNull() {
  // A null text (an edit never typed in) is stored as NULL, an empty one as
  // an empty text, as Qt's drivers bind them.
  OPEN_BACKEND(db);
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, kNumber);
  QVariantMap row = TestStore::sampleApplication(kNumber);
  row.insert(QStringLiteral("监护人二姓名"), QString());
  row.insert(QStringLiteral("监护人二电话"), QStringLiteral(""));
  const AppendGuard guard = guardFor(row);
  appendApplication(query, row, &guard);
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk where 监护人二姓名 is null")), 1);
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk where 监护人二电话 = ''")), 1);
}

// SQL Server cannot run here: the procedure's text is checked against what
// the client sends and reads.
void StoreTest::storeRefusesTextWithoutGbk_data() {
  addBackendColumn();
  QTest::addColumn<QString>("column");
  QTest::addColumn<QString>("value");
  for (const QString &name : backends()) {
    QTest::newRow(qPrintable(name + QStringLiteral(": name with an extension-B character")))
        << name << QStringLiteral("姓名") << QStringLiteral("王𠀀");
    QTest::newRow(qPrintable(name + QStringLiteral(": address with 䶮 and an emoji")))
        << name << QStringLiteral("户口簿详细地址") << QStringLiteral("和平路䶮😀");
  }
}

void StoreTest::storeRefusesTextWithoutGbk() {
  // Sent past the form's edits, as a client of another make would: the
  // store itself refuses it (PostgreSQL in kg_append, the embedded store in
  // its append), and stores nothing.
  OPEN_BACKEND(db);
  QFETCH(QString, column);
  QFETCH(QString, value);
  QVariantMap row = TestStore::sampleApplication(kNumber);
  row.insert(column, value);
  const AppendGuard guard = guardFor(row);
  QueryObject query(QStringLiteral("ADOTab"), 10, db.location);
  openLookup(query, kNumber);
  try {
    appendApplication(query, row, &guard);
    QFAIL("a text without a GBK form was stored");
  } catch (const AppendRefused &) {
    QFAIL("refused as a duplicate or for the quota");
  } catch (const StoreError &error) {
    QVERIFY2(error.message().contains(QStringLiteral("GBK")), qPrintable(error.message()));
  }
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 0);
  // The same client goes on filing.
  row.insert(column, QStringLiteral("王小明"));
  openLookup(query, kNumber);
  appendApplication(query, row, &guard);
  QCOMPARE(db.store->count(QStringLiteral("select * from lz_yjxxk")), 1);
}

void StoreTest::sqlServerAppendProcedure() {
  const QString text = OdbcBackend::appendProcedure();
  const QStringList &columns = schema::applicationColumns();
  // The client's call: the twenty columns in order, nothing else (no capacity).
  QStringList parameters;
  QStringList values;
  for (const QString &column : columns) {
    const int length = schema::applicationColumnLength(column);
    parameters << (length == 0 ? QStringLiteral("@p_%1 datetime").arg(column)
                               : QStringLiteral("@p_%1 nvarchar(%2)").arg(column).arg(length));
    values << QStringLiteral("@p_") + column;
  }
  QVERIFY2(text.startsWith(QStringLiteral("create procedure kg_append ") + parameters.join(QStringLiteral(", ")) +
                           QStringLiteral("\nwith execute as owner\n")),
           qPrintable(text));
  QVERIFY(text.contains(QStringLiteral("insert into lz_yjxxk (%1) values (%2);")
                            .arg(columns.join(QStringLiteral(", ")), values.join(QStringLiteral(", ")))));
  // The capacity is the store's, read before anything is locked; a name it
  // does not hold has no limit.
  QVERIFY(
      text.contains(QStringLiteral("select @capacity = 名额 from lz_yeyme where 申请幼儿园名称 = @p_申请幼儿园名称;")));
  QVERIFY(text.contains(QStringLiteral("if @capacity is not null and (select count(*)")));
  // Refused inside a transaction of the caller's, and for a text without a
  // GBK form (every text parameter goes through code page 936 and back),
  // both before its own transaction begins.
  const qsizetype begins = text.indexOf(QStringLiteral("begin transaction"));
  QVERIFY(text.indexOf(QStringLiteral("if @@trancount > 0")) > 0);
  QVERIFY(text.indexOf(QStringLiteral("if @@trancount > 0")) < begins);
  QVERIFY(text.indexOf(QStringLiteral("collate Chinese_PRC_BIN as varchar(max)")) < begins);
  for (const QString &column : columns) {
    if (schema::applicationColumnLength(column) != 0)
      QVERIFY2(text.contains(QStringLiteral("(@p_%1)").arg(column)), qPrintable(column));
  }
  // Both locks held to the end of the transaction, quota first, then
  // identity, each waited for a bounded time.
  QCOMPARE(text.count(QStringLiteral("@LockOwner = 'Transaction', @LockTimeout = %1;").arg(OdbcBackend::kLockWaitMs)),
           2);
  QCOMPARE(text.count(QStringLiteral("if @granted < 0")), 2);
  QVERIFY(text.indexOf(QStringLiteral("if @capacity is not null\n")) <
          text.indexOf(QStringLiteral("N'申请幼儿园名称='")));
  QVERIFY(text.indexOf(QStringLiteral("N'申请幼儿园名称='")) < text.indexOf(QStringLiteral("N'身份证号='")));
  QVERIFY(text.indexOf(QStringLiteral("sp_getapplock")) > begins);
  QVERIFY(text.indexOf(QStringLiteral("commit transaction")) > text.indexOf(QStringLiteral("insert into")));
  // Blocks closed, and the outcome the client reads as one row.
  QCOMPARE(text.count(QRegularExpression(QStringLiteral("^\\s*begin$"), QRegularExpression::MultilineOption)),
           text.count(QRegularExpression(QStringLiteral("^\\s*end$"), QRegularExpression::MultilineOption)));
  QVERIFY(text.endsWith(QStringLiteral("select @outcome as outcome;\nend")));
}

KG_TEST_MAIN(StoreTest)
#include "tst_store.moc"
