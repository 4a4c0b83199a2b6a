// The client's login on PostgreSQL, as `kgadmin create-login` makes it: it
// runs the selects the windows issue and the append, and nothing more: no
// write outside the three tables, no ending of other sessions, no lock of its
// own. (tst_pg_hostile tries what the login can still call.)

#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/queryobject.h"

#include <QProcess>

namespace {

const QString kNumber = QStringLiteral("110101201905011234");

} // namespace

class LeastRightsTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void refused_data();
  void refused();
  void clientStillFiles();

private:
  // Runs a statement as the client's login.
  void runAsClient(const QString &statement);

  std::unique_ptr<TestStore> m_store;
  StoreLocation m_client;
  QString m_user;
};

void LeastRightsTest::initTestCase() {
  m_store = TestStore::postgres();
  KG_REQUIRE_PG(m_store->available());
  m_user = QStringLiteral("kgclient_%1").arg(QCoreApplication::applicationPid());
  QProcess kgadmin;
  kgadmin.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  kgadmin.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/kgadmin"),
                {QStringLiteral("create-login"), m_store->location().setting(), m_user, QStringLiteral("pw_client")});
  QVERIFY(kgadmin.waitForFinished(60000));
  QCOMPARE(kgadmin.exitCode(), 0);
  m_client = m_store->location();
  m_client.user = m_user;
  m_client.password = QStringLiteral("pw_client");
  // A limit of connections, and of temporary files that only a superuser can lift.
  QVERIFY(m_store->value(QStringLiteral("select rolconnlimit from pg_roles where rolname = '%1'").arg(m_user)).toInt() >
          0);
  QVERIFY(
      m_store
          ->value(
              QStringLiteral("select array_to_string(rolconfig, ' ') from pg_roles where rolname = '%1'").arg(m_user))
          .toString()
          .contains(QStringLiteral("temp_file_limit=64MB")));
}

void LeastRightsTest::cleanupTestCase() {
  if (!m_user.isEmpty() && m_store && m_store->available()) {
    m_store->exec(QStringLiteral("drop owned by %1").arg(m_user));
    m_store->exec(QStringLiteral("drop role %1").arg(m_user));
  }
}

void LeastRightsTest::runAsClient(const QString &statement) {
  QueryObject query(QStringLiteral("BDOTab"), 30, m_client);
  query.setSql(Statement::plain(statement));
  query.open();
}

void LeastRightsTest::refused_data() {
  QTest::addColumn<QString>("statement");
  const QString row = QStringLiteral("insert into lz_yjxxk (身份证号, 姓名, 申请幼儿园名称) values ('%1', '张三', "
                                     "'西岭幼儿园本部') returning 1 as n")
                          .arg(kNumber);
  QTest::newRow("insert") << row;
  QTest::newRow("update") << "update lz_yjxxk set 姓名 = '李四' returning 1 as n";
  QTest::newRow("delete") << "delete from lz_yjxxk returning 1 as n";
  QTest::newRow("advisory lock") << "select pg_advisory_lock(1, hashtext('申请幼儿园名称=西岭幼儿园本部')) as n";
  QTest::newRow("advisory lock of a transaction") << "select pg_try_advisory_xact_lock(42) as n";
  QTest::newRow("temporary table") << "create temporary table kg_mine (n int)";
  QTest::newRow("table") << "create table kg_mine (n int)";
  QTest::newRow("ending another session") << "select pg_terminate_backend(pg_backend_pid()) as n";
  QTest::newRow("cancelling another session") << "select pg_cancel_backend(pg_backend_pid()) as n";
  QTest::newRow("large object") << "select lo_from_bytea(0, '\\x00') as n";
  QTest::newRow("large object, created empty") << "select lo_create(0) as n";
  QTest::newRow("notification") << "select pg_notify('kg', 'x') as n";
  QTest::newRow("the capacities") << "select * from lz_yeyme";
  QTest::newRow("the append's lock") << "select kg_lock(1, 1) as n";
  QTest::newRow("lifting the limit of temporary files") << "set temp_file_limit = -1";
}

void LeastRightsTest::refused() {
  QFETCH(QString, statement);
  QString refusal;
  try {
    runAsClient(statement);
  } catch (const StoreError &error) {
    refusal = error.message();
  }
  // Refused for want of the right, not for anything else.
  QVERIFY2(refusal.contains(QStringLiteral("permission denied")), qPrintable(refusal));
  QCOMPARE(m_store->count(QStringLiteral("select * from lz_yjxxk")), 0);
}

void LeastRightsTest::clientStillFiles() {
  QueryObject ADOTab(QStringLiteral("ADOTab"), 10, m_client);
  QueryObject BDOTab(QStringLiteral("BDOTab"), 30, m_client);
  ADOTab.setSql(Statement::plain(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb")));
  ADOTab.open();
  QCOMPARE(ADOTab.fieldAsString(QStringLiteral("幼儿园版本")), QStringLiteral("202206181"));
  ADOTab.close();
  ADOTab.setSql(Statement::plain(QStringLiteral("select getdate() as 日期")));
  ADOTab.open();
  ADOTab.close();
  BDOTab.setSql(
      Statement::compare(QStringLiteral("select * from lz_xzcz where 村或社区='"), QStringLiteral("和平社区")));
  BDOTab.open();
  QCOMPARE(BDOTab.rowCount(), 1);

  const QVariantMap row = TestStore::sampleApplication(kNumber);
  ADOTab.close();
  ADOTab.setSql(Statement::compare(QStringLiteral("select * from lz_yjxxk where 身份证号='"), kNumber));
  ADOTab.open();
  AppendGuard guard;
  guard.quotaColumn = QStringLiteral("申请幼儿园名称");
  guard.quotaValue = row.value(guard.quotaColumn);
  m_store->setCapacity(guard.quotaValue.toString(), 1);
  guard.uniqueColumn = QStringLiteral("身份证号");
  guard.uniqueValue = kNumber;
  ADOTab.append();
  for (auto it = row.cbegin(); it != row.cend(); ++it)
    ADOTab.setField(it.key(), it.value());
  ADOTab.post(&guard);
  ADOTab.requery();
  QCOMPARE(ADOTab.rowCount(), 1);

  // The quota holds against the login too: a second child for the last place is refused.
  QVariantMap second = TestStore::sampleApplication(QStringLiteral("110101201905015678"));
  second.insert(guard.quotaColumn, guard.quotaValue);
  guard.uniqueValue = second.value(guard.uniqueColumn);
  ADOTab.append();
  for (auto it = second.cbegin(); it != second.cend(); ++it)
    ADOTab.setField(it.key(), it.value());
  QVERIFY_THROWS_EXCEPTION(AppendRefused, ADOTab.post(&guard));
  QCOMPARE(m_store->count(QStringLiteral("select * from lz_yjxxk")), 1);
}

KG_TEST_MAIN(LeastRightsTest)
#include "tst_pg_least_rights.moc"
