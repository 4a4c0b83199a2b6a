// A PostgreSQL store that goes silent: the server (every process of it) is
// stopped with SIGSTOP while the client waits on it, in the lookup, in the
// quota count and in the append. The step's failure message must show within
// the query object's time limit plus a small margin, nothing may be half
// written, and the same client files once the server is continued. A private
// cluster of this suite is stopped, so that no other suite waits on it.
//
// The suite keeps its own bound: a process of its own continues the server
// a few seconds after the step's message is due, so that a client that waits
// longer (a time limit that does not hold) gets its answer then and the step
// fails on its time, well within Qt Test's limit, and no stopped server stays
// behind even when this process is gone.

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/dialogscript.h"
#include "fixture/privatecluster.h"
#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "form/unit2.h"
#include "main/unit1.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

const QString kNumber = QStringLiteral("110101201903050021");
const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");
// What the client may take beyond its time limit: giving up, and connecting
// again. The append, whose outcome is unknown when the server goes silent,
// then asks the store what it holds for one more time limit before it
// speaks.
constexpr qint64 kMarginMs = 4000;
// When the server is continued whatever the test does: this long past the
// step's bound.
constexpr qint64 kRescueMs = 6000;

} // namespace

class SilentServerTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void cleanup();
  void silentDuringStep_data();
  void silentDuringStep();

private:
  // Sends the signal to the server and all its processes, now.
  void signalServer(const QString &signal);
  // Stops the server after a delay (0: now), and continues it boundMs after
  // the stop, from a process that outlives this one, unless the test has
  // continued it before.
  void stopServer(int afterMs, qint64 boundMs);
  int stored();

  std::unique_ptr<PrivateCluster> m_cluster;
  std::unique_ptr<TestStore> m_store;
  std::unique_ptr<WorkingClient> m_client;
  // A file per stop while its rescue is due; the test's own continue removes
  // them.
  QTemporaryDir m_rescues;
  int m_stops = 0;
};

namespace {
QString signalCommand(const QString &signal, qint64 postmaster) {
  return QStringLiteral("kill -%1 %2 $(pgrep -P %2)").arg(signal).arg(postmaster);
}
} // namespace

void SilentServerTest::signalServer(const QString &signal) {
  if (signal == QLatin1String("CONT")) {
    for (const QString &due : QDir(m_rescues.path()).entryList(QDir::Files))
      QFile::remove(m_rescues.filePath(due));
  }
  const qint64 postmaster = m_cluster->postmaster();
  QVERIFY(postmaster > 0);
  QVERIFY(QProcess::execute(QStringLiteral("bash"), {QStringLiteral("-c"), signalCommand(signal, postmaster)}) == 0);
}

void SilentServerTest::stopServer(int afterMs, qint64 boundMs) {
  const qint64 postmaster = m_cluster->postmaster();
  QVERIFY(postmaster > 0);
  if (afterMs == 0)
    signalServer(QStringLiteral("STOP"));
  const QString stop = afterMs == 0 ? QString()
                                    : QStringLiteral("sleep %1; %2; ")
                                          .arg(afterMs / 1000.0)
                                          .arg(signalCommand(QStringLiteral("STOP"), postmaster));
  const QString due = m_rescues.filePath(QString::number(++m_stops));
  QFile token(due);
  QVERIFY(token.open(QIODevice::WriteOnly));
  token.close();
  QProcess rescue;
  rescue.setProgram(QStringLiteral("bash"));
  rescue.setArguments({QStringLiteral("-c"), stop + QStringLiteral("sleep %1; if [ -e '%2' ]; then rm -f '%2'; %3; fi")
                                                        .arg(boundMs / 1000.0)
                                                        .arg(due, signalCommand(QStringLiteral("CONT"), postmaster))});
  rescue.setStandardOutputFile(QProcess::nullDevice());
  rescue.setStandardErrorFile(QProcess::nullDevice());
  QVERIFY(rescue.startDetached());
}

// Through a connection of its own, made after the server answers again.
int SilentServerTest::stored() {
  return m_store->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(kNumber));
}

void SilentServerTest::initTestCase() {
  KG_REQUIRE_PG(!qEnvironmentVariableIsEmpty("KG_TEST_PG"));
  m_cluster = std::make_unique<PrivateCluster>(QStringLiteral("silent"), 55369);
  QVERIFY2(m_cluster->start(), "scripts/pg.sh start failed for the private cluster");
}

void SilentServerTest::cleanupTestCase() {
  if (m_cluster) {
    signalServer(QStringLiteral("CONT"));
    m_cluster.reset();
  }
}

void SilentServerTest::init() {
  m_store = m_cluster->testStore();
  QVERIFY(m_store->available());
  m_store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  m_client = std::make_unique<WorkingClient>(m_store->location());
  m_client->boxes.clear();
}

void SilentServerTest::cleanup() {
  signalServer(QStringLiteral("CONT"));
  m_client.reset();
  m_store.reset();
}

void SilentServerTest::silentDuringStep_data() {
  QTest::addColumn<QString>("step");
  QTest::addColumn<int>("limitMs"); // the time limit of the query object the step runs on
  QTest::addColumn<QString>("message");
  QTest::newRow("lookup (ADOTab)") << "lookup" << 10000 << "网络问题,操作失败";
  QTest::newRow("quota count (BDOTab)") << "quota" << 30000 << "网络问题,操作失败.";
  QTest::newRow("append (ADOTab)") << "append" << 10000 << "网络问题,提交申请表失败,请重新进行";
}

void SilentServerTest::silentDuringStep() {
  QFETCH(QString, step);
  QFETCH(int, limitMs);
  QFETCH(QString, message);
  Form1->sfzEdit->setText(kNumber);
  // The step's bound: its message comes within the time limit and a margin.
  const qint64 boundMs = limitMs + kMarginMs + (step == QLatin1String("append") ? 1000 + limitMs : 0);
  QElapsedTimer waited;
  if (step == QLatin1String("lookup")) {
    stopServer(0, boundMs + kRescueMs);
    waited.start();
    Form1->BitBtn1->click();
  } else {
    Form1->BitBtn2->click();
    QVERIFY(Form2->isVisible());
    fillApplication();
    m_client->boxes.clear();
    if (step == QLatin1String("quota")) {
      stopServer(0, boundMs + kRescueMs);
    } else {
      // The server holds the insert a while; it is stopped in the middle.
      m_store->exec(QStringLiteral("create function kg_slow_insert() returns trigger language plpgsql as "
                                   "$$ begin perform pg_sleep(5); return new; end $$"));
      m_store->exec(QStringLiteral("create trigger kg_slow before insert on lz_yjxxk "
                                   "for each row execute function kg_slow_insert()"));
      m_client->boxes.onShow = [this, boundMs](const dialogs::Shown &box) {
        if (box.text.contains(QStringLiteral("一旦提交")))
          stopServer(1000, boundMs + kRescueMs);
      };
    }
    waited.start();
    QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  }
  const qint64 elapsed = waited.elapsed();
  qInfo("%s: the message after %lld ms", qPrintable(step), elapsed);
  QVERIFY2(elapsed < boundMs,
           qPrintable(QStringLiteral("the message after %1 ms, beyond the bound of %2 ms").arg(elapsed).arg(boundMs)));
  QCOMPARE(m_client->boxes.texts().last(), message);

  signalServer(QStringLiteral("CONT"));
  if (step == QLatin1String("append")) {
    // The held insert was cancelled on the server: nothing was stored.
    QTRY_COMPARE_WITH_TIMEOUT(
        m_store->count(QStringLiteral("select * from pg_stat_activity where query like '%kg_append%' and "
                                      "pid <> pg_backend_pid()")),
        0, 15000);
    m_store->exec(QStringLiteral("drop trigger kg_slow on lz_yjxxk"));
  }
  QCOMPARE(stored(), 0);

  // The same client files once the server answers again.
  m_client->boxes.onShow = nullptr;
  m_client->boxes.clear();
  if (!Form2->isVisible()) {
    Form1->BitBtn2->click();
    QVERIFY(Form2->isVisible());
    fillApplication();
    m_client->boxes.clear();
  }
  QTest::mouseClick(Form2->qdBit, Qt::LeftButton);
  QCOMPARE(m_client->boxes.texts().value(3), kSuccess);
  QCOMPARE(stored(), 1);
}

KG_TEST_MAIN(SilentServerTest)
#include "tst_pg_silent.moc"
