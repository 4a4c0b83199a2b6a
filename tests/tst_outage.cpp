// The store failing under a submission, as one table of its failure points on
// SQLite and on PostgreSQL: the message shown, whether the form stays open,
// the hourglass while the message is on screen and the rows stored; and then
// the same client, once the store is back, files the application without a
// restart. The PostgreSQL rows run on a private cluster of this suite, which is
// stopped and started under the running client.

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/privatecluster.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QCursor>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {

const QString kNumber = QStringLiteral("110101201903050021");
const QString kNetwork = QStringLiteral("网络问题,操作失败.");
const QString kAppendFailed = QStringLiteral("网络问题,提交申请表失败,请重新进行");
const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");
const QString kThirdConfirmation = QStringLiteral("一旦提交");

} // namespace

class OutageTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void cleanup();
  void storeFailures_data();
  void storeFailures();

private:
  // Stops the cluster from another process after a delay, while the client
  // is blocked in a statement.
  void stopLater(int milliseconds);
  int stored();

  std::unique_ptr<PrivateCluster> m_cluster; // when this run has PostgreSQL
  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;
};

void OutageTest::stopLater(int milliseconds) {
  QProcess *process = new QProcess(this);
  process->setProcessEnvironment(m_cluster->environment());
  process->start(QStringLiteral("bash"),
                 {QStringLiteral("-c"), QStringLiteral("sleep %1; %2")
                                            .arg(milliseconds / 1000.0)
                                            .arg(m_cluster->shellCommand(QStringLiteral("stop --force")))});
  QVERIFY(process->waitForStarted());
}

// Reads through a query object of its own: the fixture's connection does not
// survive a server restart.
int OutageTest::stored() {
  QueryObject query(QStringLiteral("count"), 10, m_store->location());
  query.setSql(Statement::compare(QStringLiteral("select 姓名 from lz_yjxxk where 身份证号='"), kNumber));
  query.open();
  return query.rowCount();
}

// The private cluster, when this run has PostgreSQL at all (the test command
// always has).
void OutageTest::initTestCase() {
  if (qEnvironmentVariableIsEmpty("KG_TEST_PG"))
    return;
  m_cluster = std::make_unique<PrivateCluster>(QStringLiteral("outage"), 55349);
  QVERIFY2(m_cluster->start(), "scripts/pg.sh start failed for the private cluster");
}

void OutageTest::cleanupTestCase() { m_cluster.reset(); }

void OutageTest::cleanup() {
  if (m_cluster)
    m_cluster->run({QStringLiteral("start")});
  m_client.reset();
  m_store.reset();
}

// How each point is reached:
//   stopped before the count   PostgreSQL: the server stopped; SQLite:
//                              BDOTab pointed at a store that cannot be
//                              reached. The quota count fails.
//   stopped after the confirmations  the same at the third confirmation:
//                              the duplicate check fails.
//   lost before the append     ADOTab alone pointed at an unreachable store
//                              at the third confirmation: the append fails.
//   insert refused by the server  a trigger of the store refuses the row.
//   gone during the post       PostgreSQL: the insert is held by a slow
//                              trigger and the server stopped meanwhile;
//                              SQLite: another writer holds the store's write
//                              lock, so the post fails after ADOTab's 10 s.
void OutageTest::storeFailures_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<QString>("point");
  QTest::addColumn<QString>("message");
  QTest::addColumn<bool>("formOpen");
  QTest::addColumn<bool>("hourglass"); // while the message is on screen
  for (const char *backend : {"sqlite", "pg"}) {
    auto row = [&](const char *point) {
      return &(QTest::newRow(qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(backend), QLatin1String(point))))
               << QString::fromLatin1(backend) << QString::fromLatin1(point));
    };
    *row("stopped before the count") << kNetwork << true << false;
    *row("stopped after the confirmations") << kNetwork << true << false;
    *row("lost before the append") << kAppendFailed << false << true;
    *row("insert refused by the server") << kAppendFailed << false << true;
    *row("gone during the post") << kAppendFailed << false << true;
  }
}

void OutageTest::storeFailures() {
  QFETCH(QString, backend);
  QFETCH(QString, point);
  QFETCH(QString, message);
  QFETCH(bool, formOpen);
  QFETCH(bool, hourglass);
  const bool postgres = backend == QLatin1String("pg");
  KG_REQUIRE_PG(!postgres || m_cluster);

  if (postgres) {
    QVERIFY(m_cluster->run({QStringLiteral("start")}));
    const QByteArray shared = qgetenv("KG_TEST_PG");
    qputenv("KG_TEST_PG", m_cluster->address().toUtf8());
    m_store = TestStore::postgres();
    qputenv("KG_TEST_PG", shared);
  } else {
    m_store = TestStore::sqlite();
  }
  QVERIFY(m_store->available());
  m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  m_client = std::make_unique<WorkingClient>(m_store->location());
  Form1->sfzEdit->setText(kNumber);
  Form1->BitBtn2->click();
  QVERIFY(Form2->isVisible());
  fillApplication();
  m_client->boxes.clear();

  bool relocated = false; // a query object was pointed elsewhere
  auto stop = [&] {
    if (postgres) {
      QVERIFY(m_cluster->run({QStringLiteral("stop"), QStringLiteral("--force")}));
    } else {
      // BDOTab carries the count and the duplicate check. (ADOTab keeps its
      // lookup result in memory, as it does when a server stops; pointing
      // it elsewhere would close that result.)
      Form1->BDOTab->setLocation(m_store->unreachable());
      relocated = true;
    }
  };
  bool releaseLock = false;
  if (point == QLatin1String("stopped before the count"))
    stop();
  if (point == QLatin1String("insert refused by the server")) {
    if (postgres) {
      m_store->exec(QStringLiteral("create function kg_refuse_insert() returns trigger language plpgsql as "
                                   "$$ begin raise exception 'disk full'; end $$"));
      m_store->exec(QStringLiteral("create trigger kg_refuse before insert on lz_yjxxk "
                                   "for each row execute function kg_refuse_insert()"));
    } else {
      m_store->exec(QStringLiteral("create trigger kg_refuse before insert on lz_yjxxk "
                                   "begin select raise(abort, 'disk full'); end"));
    }
  }
  if (point == QLatin1String("gone during the post") && postgres) {
    m_store->exec(QStringLiteral("create function kg_slow_insert() returns trigger language plpgsql as "
                                 "$$ begin perform pg_sleep(4); return new; end $$"));
    m_store->exec(QStringLiteral("create trigger kg_slow before insert on lz_yjxxk "
                                 "for each row execute function kg_slow_insert()"));
  }
  bool hourglassDuringMessage = false;
  m_client->boxes.onShow = [&](const dialogs::Shown &box) {
    if (box.text.contains(kThirdConfirmation)) {
      if (point == QLatin1String("stopped after the confirmations"))
        stop();
      else if (point == QLatin1String("lost before the append")) {
        Form1->ADOTab->setLocation(m_store->unreachable());
        relocated = true;
      } else if (point == QLatin1String("gone during the post") && postgres)
        stopLater(1500);
      else if (point == QLatin1String("gone during the post")) {
        m_store->exec(QStringLiteral("begin immediate"));
        releaseLock = true;
      }
    }
    if (box.text == message)
      hourglassDuringMessage =
          QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
  };
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  if (releaseLock)
    m_store->exec(QStringLiteral("rollback"));

  QCOMPARE(m_client->boxes.texts().last(), message);
  QCOMPARE(Form2->isVisible(), formOpen);
  QCOMPARE(hourglassDuringMessage, hourglass);
  QVERIFY(!QApplication::overrideCursor());

  // The store is back: nothing, not half a row, was stored, and the same
  // client files the application (a restarted server is reached again by the
  // query objects themselves).
  if (postgres)
    QTRY_VERIFY_WITH_TIMEOUT(m_cluster->run({QStringLiteral("start")}), 30000);
  if (relocated) {
    Form1->BDOTab->setLocation(m_store->location());
    if (!formOpen)
      Form1->ADOTab->setLocation(m_store->location());
  }
  if (point == QLatin1String("insert refused by the server"))
    m_store->exec(QStringLiteral("drop trigger kg_refuse") + (postgres ? QStringLiteral(" on lz_yjxxk") : QString()));
  QCOMPARE(stored(), 0);
  m_client->boxes.onShow = nullptr;
  m_client->boxes.clear();
  if (!formOpen) {
    Form1->BitBtn2->click();
    QVERIFY(Form2->isVisible());
    fillApplication();
    m_client->boxes.clear();
  }
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().value(3), kSuccess);
  QCOMPARE(stored(), 1);
}

KG_TEST_MAIN(OutageTest)
#include "tst_outage.moc"
