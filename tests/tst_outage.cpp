// A PostgreSQL store that goes away in the middle of a submission: between
// the confirmations and the append, and while the row is being posted. A
// private cluster of this suite is stopped and started under the running
// client, which must leave one complete row or none and go on working once the
// store is back, without a restart.

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const QString kNumber = QStringLiteral("110101201903050021");
const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");

QString script() { return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../scripts/pg.sh"); }

} // namespace

class OutageTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void cleanup();
  void lostBetweenConfirmationsAndAppend();
  void lostDuringPost();

private:
  QProcessEnvironment clusterEnvironment() const;
  bool pg(const QStringList &command, QString *out = nullptr);
  // Stops the cluster from another process after a delay, while the client
  // is blocked in a statement.
  void stopLater(int milliseconds);
  int stored();
  void exec(const QString &sql);

  QString m_dir;
  QString m_server;
  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;
};

QProcessEnvironment OutageTest::clusterEnvironment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KG_PG_DIR"), m_dir);
  environment.insert(QStringLiteral("KG_PG_PORT"), QStringLiteral("55349"));
  environment.insert(QStringLiteral("KG_PG_PASSWORD"), QStringLiteral("outage"));
  environment.remove(QStringLiteral("KG_PG_LEASE"));
  return environment;
}

bool OutageTest::pg(const QStringList &command, QString *out) {
  QProcess process;
  process.setProcessEnvironment(clusterEnvironment());
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(QStringLiteral("bash"), QStringList{script()} + command);
  const bool finished = process.waitForFinished(120000);
  if (out)
    *out = QString::fromUtf8(process.readAllStandardOutput());
  return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void OutageTest::stopLater(int milliseconds) {
  QProcess *process = new QProcess(this);
  process->setProcessEnvironment(clusterEnvironment());
  process->start(QStringLiteral("bash"),
                 {QStringLiteral("-c"),
                  QStringLiteral("sleep %1; bash '%2' stop --force").arg(milliseconds / 1000.0).arg(script())});
  QVERIFY(process->waitForStarted());
}

// Reads through a connection of its own: the fixture's connection does not
// survive a server restart.
int OutageTest::stored() {
  QueryObject query(QStringLiteral("count"), 10, m_store->location());
  query.setSql(Statement::compare(QStringLiteral("select 姓名 from lz_yjxxk where 身份证号='"), kNumber));
  query.open();
  return query.rowCount();
}

void OutageTest::exec(const QString &sql) {
  QueryObject query(QStringLiteral("admin"), 10, m_store->location());
  QSqlQuery statement(query.database());
  QVERIFY2(statement.exec(sql), qPrintable(statement.lastError().text()));
}

void OutageTest::initTestCase() {
  if (qEnvironmentVariableIsEmpty("KG_TEST_PG"))
    QSKIP("no PostgreSQL for this run (KG_TEST_PG)");
  m_dir = QStringLiteral("/tmp/kg-pg-outage-%1").arg(QCoreApplication::applicationPid());
  QString started;
  QVERIFY2(pg({QStringLiteral("start")}, &started), "scripts/pg.sh start failed for the private cluster");
  const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("export KG_TEST_PG=(\\S+)")).match(started);
  QVERIFY2(match.hasMatch(), qPrintable(started));
  m_server = match.captured(1);
}

void OutageTest::cleanupTestCase() {
  if (!m_dir.isEmpty())
    pg({QStringLiteral("purge")});
}

void OutageTest::init() {
  QVERIFY(pg({QStringLiteral("start")}));
  const QByteArray shared = qgetenv("KG_TEST_PG");
  qputenv("KG_TEST_PG", m_server.toUtf8());
  m_store = TestStore::postgres();
  qputenv("KG_TEST_PG", shared);
  QVERIFY(m_store->available());
  m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  m_client = std::make_unique<WorkingClient>(m_store->location());
  Form1->sfzEdit->setText(kNumber);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  fillApplication();
  m_client->boxes.clear();
}

void OutageTest::cleanup() {
  pg({QStringLiteral("start")});
  m_client.reset();
  m_store.reset();
}

void OutageTest::lostBetweenConfirmationsAndAppend() {
  m_client->boxes.onShow = [this](const dialogs::Shown &box) {
    if (box.text.contains(QStringLiteral("一旦提交")))
      QVERIFY(pg({QStringLiteral("stop"), QStringLiteral("--force")}));
  };
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().last(), QStringLiteral("网络问题,操作失败."));
  QVERIFY(Form2->isVisible());

  // The store is back: the same client files the application.
  QVERIFY(pg({QStringLiteral("start")}));
  QCOMPARE(stored(), 0);
  m_client->boxes.onShow = nullptr;
  m_client->boxes.clear();
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().value(3), kSuccess);
  QCOMPARE(stored(), 1);
}

void OutageTest::lostDuringPost() {
  // The server holds the insert for a while; it is stopped meanwhile.
  m_store->exec(QStringLiteral("create function kg_slow_insert() returns trigger language plpgsql as "
                               "$$ begin perform pg_sleep(4); return new; end $$"));
  m_store->exec(QStringLiteral("create trigger kg_slow before insert on lz_yjxxk "
                               "for each row execute function kg_slow_insert()"));
  m_client->boxes.onShow = [this](const dialogs::Shown &box) {
    if (box.text.contains(QStringLiteral("一旦提交")))
      stopLater(1500);
  };
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().last(), QStringLiteral("网络问题,提交申请表失败,请重新进行"));
  QVERIFY(!Form2->isVisible());

  QTRY_VERIFY_WITH_TIMEOUT(pg({QStringLiteral("start")}), 30000);
  exec(QStringLiteral("drop trigger kg_slow on lz_yjxxk"));
  QCOMPARE(stored(), 0); // none, not half a row
  m_client->boxes.onShow = nullptr;
  m_client->boxes.clear();
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  fillApplication();
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().value(3), kSuccess);
  QCOMPARE(stored(), 1);
}

KG_TEST_MAIN(OutageTest)
#include "tst_outage.moc"
