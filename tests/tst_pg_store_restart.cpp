// The client keeps working when the PostgreSQL server goes away and comes
// back, without being restarted: a private cluster of this suite (started with
// scripts/pg.sh, so the shared test server is not disturbed) is stopped and
// started under live query objects.

#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/queryobject.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {

const QString kLookupHead = QStringLiteral("select 身份证号,姓名,申请幼儿园名称,部别 from lz_yjxxk where 身份证号='");

QString script() { return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../scripts/pg.sh"); }

} // namespace

class PgStoreRestartTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void reconnectsAfterRestart();

private:
  // Runs scripts/pg.sh for the private cluster; stdout of the command.
  QString pg(const QStringList &command, bool *ok = nullptr);
  QString m_dir;
  QString m_server;
};

QString PgStoreRestartTest::pg(const QStringList &command, bool *ok) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KG_PG_DIR"), m_dir);
  environment.insert(QStringLiteral("KG_PG_PORT"), QStringLiteral("55329"));
  environment.insert(QStringLiteral("KG_PG_PASSWORD"), QStringLiteral("restart"));
  environment.remove(QStringLiteral("KG_PG_LEASE")); // the shared cluster's, not this one's
  process.setProcessEnvironment(environment);
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(QStringLiteral("bash"), QStringList{script()} + command);
  const bool finished = process.waitForFinished(120000);
  if (ok)
    *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
  return QString::fromUtf8(process.readAllStandardOutput());
}

void PgStoreRestartTest::initTestCase() {
  KG_REQUIRE_PG(!qEnvironmentVariableIsEmpty("KG_TEST_PG"));
  m_dir = QStringLiteral("/tmp/kg-pg-restart-%1").arg(QCoreApplication::applicationPid());
  bool ok = false;
  const QString started = pg({QStringLiteral("start")}, &ok);
  QVERIFY2(ok, "scripts/pg.sh start failed for the private cluster");
  const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("export KG_TEST_PG=(\\S+)")).match(started);
  QVERIFY2(match.hasMatch(), qPrintable(started));
  m_server = match.captured(1);
}

void PgStoreRestartTest::cleanupTestCase() {
  if (!m_dir.isEmpty())
    pg({QStringLiteral("purge")});
}

void PgStoreRestartTest::reconnectsAfterRestart() {
  // The fixture makes its database on the private cluster.
  const QByteArray shared = qgetenv("KG_TEST_PG");
  qputenv("KG_TEST_PG", m_server.toUtf8());
  auto db = TestStore::postgres();
  qputenv("KG_TEST_PG", shared);
  QVERIFY(db->available());
  db->insertApplication({{QStringLiteral("身份证号"), QStringLiteral("110101201905011234")}});

  QueryObject adoTab(QStringLiteral("ADOTab"), 10, db->location());
  QueryObject odbcTab(QStringLiteral("BDOTab"), 30, db->odbcLocation());
  auto lookup = [](QueryObject &query) {
    query.close();
    query.setSql(Statement::compare(kLookupHead, QStringLiteral("110101201905011234")));
    query.open();
    return query.rowCount();
  };
  QCOMPARE(lookup(adoTab), 1);
  QCOMPARE(lookup(odbcTab), 1);

  // Restarted between two statements: the kept connections are dead, which
  // nothing reports until they are used.
  bool ok = false;
  pg({QStringLiteral("restart")}, &ok);
  QVERIFY(ok);
  QCOMPARE(lookup(adoTab), 1);
  QCOMPARE(lookup(odbcTab), 1);

  // Down: every statement fails with a store error, quickly and cleanly.
  pg({QStringLiteral("stop"), QStringLiteral("--force")}, &ok);
  QVERIFY(ok);
  QVERIFY_THROWS_EXCEPTION(StoreError, lookup(adoTab));
  QVERIFY(!adoTab.isOpen());
  QVERIFY_THROWS_EXCEPTION(StoreError, lookup(odbcTab));

  // Back: the same objects work again.
  pg({QStringLiteral("start")}, &ok);
  QVERIFY(ok);
  QCOMPARE(lookup(adoTab), 1);
  QCOMPARE(lookup(odbcTab), 1);
  adoTab.close();
}

KG_TEST_MAIN(PgStoreRestartTest)
#include "tst_pg_store_restart.moc"
