// A district's server fails in the rush: a primary with a synchronous standby
// on loopback (pg.sh standby: pg_basebackup -R, the primary naming it in
// synchronous_standby_names), clients filing through the real windows (this
// test binary started again as workers, offscreen) with a location that names
// both servers, the primary stopped in the middle (a fast stop, or SIGKILL to
// every process of it), the standby promoted. Afterwards, on the new primary:
// every filing whose guardian saw 恭喜 is stored; no kindergarten holds more
// than its capacity; no number is stored twice; and every guardian whose
// filing was cut off got a written message and filed again on the new
// primary, to the end (恭喜, or the message that the child's application is
// stored, or the quota's refusal).
//
// The suite keeps its own bounds: the rush must reach the stop within 60 s,
// and each worker must end within 120 s; the clusters go with the suite (or
// with their keepers, should this process end first).

#include "fixture/applicationform.h"
#include "fixture/clientwindows.h"
#include "fixture/privatecluster.h"
#include "fixture/required.h"
#include "fixture/teststore.h"

#include "app/application.h"
#include "filing/catchment.h"
#include "form/unit2.h"
#include "main/unit1.h"
#include "store/schema.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <cstdio>

namespace {

const char *const kWorkerFlag = "--failover-worker";
const QString kSuccess = QStringLiteral("恭喜！\r\r   申请表提交成功,请到指定地点上交材料");
const QString kAlreadyFiled = QStringLiteral("该儿童已填报了申请表,不能重复填报");
// Both in the catchment of 东澄街道 和平社区 (the form's fixture); the first
// nearly full before the rush, so that the rush fills it.
const QString kNearlyFull = QStringLiteral("实验幼儿园物流园区");
const QString kRoomy = QStringLiteral("实验幼儿园东城园区");
constexpr int kPrefilled = 30;
constexpr int kWorkers = 4;
constexpr int kFilingsPerWorker = 25;
// Filings stored (beyond the prefilled ones) when the primary is stopped.
constexpr int kStoredAtStop = 16;
// How long a guardian keeps filing again after a cut-off.
constexpr qint64 kGuardianPatienceMs = 60000;

// A girl born 2019-03-05, as the form's fixture fills it; unique per index.
QString numberOf(int index) {
  return QStringLiteral("33010120190305%1%2%3").arg(index / 10 % 100, 2, 10, QLatin1Char('0')).arg(2).arg(index % 10);
}

// One guardian's filing, as the windows tell it.
enum class Outcome { Stored, CutOff, Full, StoredBefore, Other };

Outcome outcomeOf(const QStringList &texts, const QString &kindergarten) {
  if (texts.contains(kSuccess))
    return Outcome::Stored;
  for (const QString &text : texts) {
    if (text == kAlreadyFiled)
      return Outcome::StoredBefore;
    // The duplicate check found this child's application, stored by an
    // attempt that was cut off.
    if (text.endsWith(QStringLiteral("]已在[%1]申请成功.不能再进行填报").arg(kindergarten)))
      return Outcome::StoredBefore;
    if (text.startsWith(QStringLiteral("对不起![") + kindergarten + QStringLiteral("]申请名额已满")))
      return Outcome::Full;
  }
  for (const QString &text : texts)
    if (text.startsWith(QStringLiteral("网络问题")))
      return Outcome::CutOff;
  return Outcome::Other;
}

const char *nameOf(Outcome outcome) {
  switch (outcome) {
  case Outcome::Stored: return "stored";
  case Outcome::CutOff: return "cutoff";
  case Outcome::Full: return "full";
  case Outcome::StoredBefore: return "storedbefore";
  case Outcome::Other: return "other";
  }
  return "other";
}

// Worker: one guardian's client, filing its numbers one after another
// through the windows as soon as the start file exists. A filing cut off by a
// store failure is filed again until it ends (or the guardian's patience is
// gone). Prints one line per filing: NUMBER KINDERGARTEN FIRST FINAL ATTEMPTS
// MESSAGE, MESSAGE 1 when a cut-off attempt showed its "网络问题" message.
int failoverWorker(int argc, char **argv) {
  TApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() < 5) {
    std::fprintf(stderr, "usage: %s %s LOCATION START_FILE FIRST_INDEX\n", argv[0], kWorkerFlag);
    return 2;
  }
  const StoreLocation location = StoreLocation::parse(args.at(2));
  const QString startFile = args.at(3);
  const int first = args.at(4).toInt();
  WorkingClient client(location);
  QElapsedTimer waited;
  waited.start();
  while (!QFile::exists(startFile)) {
    if (waited.elapsed() > 60000)
      return 3;
    QThread::msleep(5);
  }
  for (int i = 0; i < kFilingsPerWorker; ++i) {
    const QString number = numberOf(first + i);
    const QString kindergarten = i % 2 == 0 ? kNearlyFull : kRoomy;
    Outcome firstOutcome = Outcome::Other, outcome = Outcome::Other;
    bool messageShown = false;
    int attempts = 0;
    QElapsedTimer patience;
    patience.start();
    do {
      if (attempts > 0)
        QThread::msleep(200);
      ++attempts;
      client.boxes.clear();
      Form2->hide();
      Form1->sfzEdit->setText(number);
      Form1->BitBtn2Click(Form1->BitBtn2);
      if (Form2->isVisible()) {
        fillApplication(QStringLiteral("东澄街道"), QStringLiteral("和平社区"));
        const int index = Form2->yrymcCom->findText(kindergarten);
        if (index >= 0) {
          Form2->yrymcCom->setCurrentIndex(index);
          Form2->qdBitClick(Form2->qdBit);
        }
      }
      outcome = outcomeOf(client.boxes.texts(), kindergarten);
      if (attempts == 1)
        firstOutcome = outcome;
      if (outcome == Outcome::CutOff || outcome == Outcome::Other)
        messageShown = messageShown || outcome == Outcome::CutOff;
    } while ((outcome == Outcome::CutOff || outcome == Outcome::Other) && patience.elapsed() < kGuardianPatienceMs);
    std::printf("%s %s %s %s %d %d\n", qPrintable(number), qPrintable(kindergarten), nameOf(firstOutcome),
                nameOf(outcome), attempts, messageShown ? 1 : 0);
    std::fflush(stdout);
    QThread::msleep(20);
  }
  return 0;
}

int portOf(const QString &address) { return QUrl(address).port(); }

} // namespace

class PgFailoverTest : public QObject {
  Q_OBJECT
private slots:
  void initTestCase();
  void primaryFailsInTheRush_data();
  void primaryFailsInTheRush();
};

void PgFailoverTest::initTestCase() { KG_REQUIRE_PG(!qEnvironmentVariableIsEmpty("KG_TEST_PG")); }

void PgFailoverTest::primaryFailsInTheRush_data() {
  QTest::addColumn<QString>("stop");
  QTest::newRow("fast stop") << "fast";
  QTest::newRow("SIGKILL") << "kill";
}

void PgFailoverTest::primaryFailsInTheRush() {
  QFETCH(QString, stop);

  // The pair: the primary, then its standby, then the primary waits for it.
  PrivateCluster primary(QStringLiteral("failover-primary"), 55389);
  QVERIFY2(primary.start(), "scripts/pg.sh start failed for the primary");
  // A copy of the primary: the same password.
  PrivateCluster standby(QStringLiteral("failover-standby"), 55399, PrivateCluster::Pids::Shared,
                         QStringLiteral("failover-primary"));
  QVERIFY2(standby.startStandby(portOf(primary.address())), "scripts/pg.sh standby failed");
  const StoreLocation primaryServer = StoreLocation::parse(primary.address());
  const StoreLocation standbyServer = StoreLocation::parse(standby.address());
  {
    const std::unique_ptr<StoreBackend> connection = StoreBackend::create(primaryServer, 30);
    connection->run(QStringLiteral("alter system set synchronous_standby_names = '*'"));
    connection->run(QStringLiteral("select pg_reload_conf()"));
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                   Result synchronous;
                   try {
                     connection->run(QStringLiteral("select 1 from pg_stat_replication where sync_state = 'sync'"), {},
                                     &synchronous);
                   } catch (const StoreError &) {
                     return false;
                   }
                   return !synchronous.rows.isEmpty();
                 },
                 30000),
             "the standby did not become synchronous within 30 s");
  }

  // The store on the primary, and the clients' location: both servers.
  const QByteArray shared = qgetenv("KG_TEST_PG");
  qputenv("KG_TEST_PG", primary.address().toUtf8());
  std::unique_ptr<TestStore> store = TestStore::postgres();
  qputenv("KG_TEST_PG", shared);
  QVERIFY(store->available());
  store->setClock(QDateTime(QDate(2022, 6, 20), QTime(10, 15, 30)));
  store->fillKindergarten(kNearlyFull, kPrefilled);
  StoreLocation both = store->location();
  both.alternates = {StoreLocation::Server{standbyServer.host, standbyServer.port}};
  both.targetSessionAttrs = QStringLiteral("read-write");
  StoreLocation newPrimary = store->location();
  newPrimary.port = standbyServer.port;

  // The rush.
  QTemporaryDir dir;
  const QString startFile = dir.filePath(QStringLiteral("go"));
  std::vector<std::unique_ptr<QProcess>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kWorkerFlag), both.setting(),
                                                             startFile, QString::number(w * kFilingsPerWorker)});
    QVERIFY2(process->waitForStarted(10000), qPrintable(process->errorString()));
    workers.push_back(std::move(process));
  }
  QThread::msleep(2000); // every worker past its start-up gate
  QFile go(startFile);
  QVERIFY(go.open(QIODevice::WriteOnly));
  go.close();

  // The primary fails once the rush has stored some filings.
  QVERIFY2(QTest::qWaitFor(
               [&] {
                 return store->count(QStringLiteral("select 1 from lz_yjxxk where 身份证号 like '330101%'")) >=
                        kStoredAtStop;
               },
               60000),
           "the rush did not store enough filings within 60 s");
  if (stop == QLatin1String("fast")) {
    QVERIFY(primary.run({QStringLiteral("stop"), QStringLiteral("--force")}));
  } else {
    const qint64 postmaster = primary.postmaster();
    QVERIFY(postmaster > 0);
    QVERIFY(QProcess::execute(QStringLiteral("bash"),
                              {QStringLiteral("-c"), QStringLiteral("kill -KILL %1 $(pgrep -P %1)").arg(postmaster)}) ==
            0);
  }
  qInfo("primary stopped (%s)", qPrintable(stop));
  // The guardians meet the failure for a moment; then the standby is
  // promoted, as a district's administrator (or its failover tool) does.
  QThread::msleep(1000);
  {
    Result promoted;
    StoreBackend::create(standbyServer, 90)->run(QStringLiteral("select pg_promote(true, 60)"), {}, &promoted);
    QVERIFY(!promoted.rows.isEmpty() && promoted.rows.first().value(0).toBool());
  }
  qInfo("standby promoted");

  QStringList lines;
  for (auto &process : workers) {
    QVERIFY2(process->waitForFinished(120000), "a worker did not finish within 120 s");
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
    lines << QString::fromUtf8(process->readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  QCOMPARE(lines.size(), kWorkers * kFilingsPerWorker);

  // What the new primary holds.
  QMultiMap<QString, QString> stored; // number -> kindergarten
  QMap<QString, int> perKindergarten;
  {
    Result rows;
    StoreBackend::create(newPrimary, 30)
        ->run(QStringLiteral("select 身份证号, 申请幼儿园名称 from lz_yjxxk"), {}, &rows);
    for (const ResultRow &row : rows.rows) {
      stored.insert(row.value(0).toString(), row.value(1).toString());
      ++perKindergarten[row.value(1).toString()];
    }
  }
  for (const QString &number : stored.uniqueKeys())
    QVERIFY2(stored.count(number) == 1, qPrintable(number + QStringLiteral(" is stored twice")));
  for (auto it = perKindergarten.begin(); it != perKindergarten.end(); ++it) {
    const quota::Entry *entry = quota::find(it.key());
    QVERIFY2(!entry || it.value() <= entry->capacity,
             qPrintable(QStringLiteral("%1 holds %2 applications").arg(it.key()).arg(it.value())));
  }

  int acknowledged = 0, acknowledgedStored = 0, cutOff = 0, filedAgain = 0, full = 0, storedBefore = 0;
  for (const QString &line : lines) {
    const QStringList field = line.split(QLatin1Char(' '));
    QCOMPARE(field.size(), 6);
    const QString number = field.at(0), kindergarten = field.at(1), first = field.at(2), final = field.at(3);
    const bool messageShown = field.at(5) == QLatin1String("1");
    QVERIFY2(final == QLatin1String("stored") || final == QLatin1String("storedbefore") ||
                 final == QLatin1String("full"),
             qPrintable(QStringLiteral("a guardian's filing did not end: ") + line));
    if (final == QLatin1String("stored")) {
      ++acknowledged;
      QVERIFY2(stored.value(number) == kindergarten, qPrintable(QStringLiteral("acknowledged, not stored: ") + line));
      ++acknowledgedStored;
    }
    if (final == QLatin1String("storedbefore"))
      ++storedBefore;
    if (final == QLatin1String("storedbefore"))
      QVERIFY2(stored.value(number) == kindergarten,
               qPrintable(QStringLiteral("told stored before, not stored: ") + line));
    if (final == QLatin1String("full"))
      ++full;
    if (first == QLatin1String("cutoff") || messageShown) {
      ++cutOff;
      QVERIFY2(messageShown, qPrintable(QStringLiteral("cut off without a message: ") + line));
      ++filedAgain; // and ended on the new primary, as checked above
    }
  }
  QVERIFY2(cutOff > 0, "no filing met the failover: the primary stopped after the rush");
  qInfo("%s: filings %d; acknowledged (恭喜) %d, of them stored on the new primary %d; cut off %d, filed again to "
        "the end %d; told stored by an earlier attempt %d; refused as full %d; on the new primary: %s %d of %d, %s "
        "%d of %d",
        qPrintable(stop), int(lines.size()), acknowledged, acknowledgedStored, cutOff, filedAgain, storedBefore, full,
        qPrintable(kNearlyFull), perKindergarten.value(kNearlyFull), quota::find(kNearlyFull)->capacity,
        qPrintable(kRoomy), perKindergarten.value(kRoomy), quota::find(kRoomy)->capacity);
}

int main(int argc, char *argv[]) {
  if (argc > 1 && qstrcmp(argv[1], kWorkerFlag) == 0)
    return failoverWorker(argc, argv);
  TApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  PgFailoverTest test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "tst_pg_failover.moc"
