// Clients filing at the same moment: several processes (this test binary
// started again as a worker) race guarded appends for the last places of one
// kindergarten and for one identity number, on SQLite and on PostgreSQL.
// Afterwards the kindergarten holds exactly the store's capacity and the
// number one row.

#include "fixture/required.h"
#include "fixture/testmain.h"
#include "fixture/teststore.h"

#include "store/queryobject.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace {

const QString kLookupHead = QStringLiteral(
    "select 姓名,性别,身份证号,申请幼儿园名称,部别,民族,出生日期,区县,镇乡或街道,村或社区,组,户主姓名,户主与儿童关系,"
    "户口簿详细地址,入户日期,监护人一姓名,监护人一电话,监护人二姓名,监护人二电话,填报日期 from lz_yjxxk where "
    "身份证号='");
const char *const kWorkerFlag = "--race-worker";

// Worker: waits for the start file, then files one application per number
// given, each for the kindergarten given, through one query object, as the
// client does (lookup, append, guarded post). Prints one line per attempt:
// "stored", "full", "duplicate" or "error <text>".
int raceWorker(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() < 6) {
    fprintf(stderr, "usage: %s %s LOCATION START_FILE KINDERGARTEN NUMBER...\n", argv[0], kWorkerFlag);
    return 2;
  }
  const StoreLocation location = StoreLocation::parse(args.at(2));
  const QString startFile = args.at(3);
  const QString kindergarten = args.at(4);
  QElapsedTimer waited;
  waited.start();
  while (!QFile::exists(startFile)) {
    if (waited.elapsed() > 60000)
      return 3;
    QThread::msleep(5);
  }
  QueryObject query(QStringLiteral("ADOTab"), 10, location);
  for (int i = 5; i < args.size(); ++i) {
    const QString number = args.at(i);
    QVariantMap row = TestStore::sampleApplication(number);
    row.insert(QStringLiteral("申请幼儿园名称"), kindergarten);
    AppendGuard guard;
    guard.quotaColumn = QStringLiteral("申请幼儿园名称");
    guard.quotaValue = kindergarten;
    guard.uniqueColumn = QStringLiteral("身份证号");
    guard.uniqueValue = number;
    try {
      query.close();
      query.setSql(Statement::compare(kLookupHead, number));
      query.open();
      query.append();
      for (auto it = row.cbegin(); it != row.cend(); ++it)
        query.setField(it.key(), it.value());
      query.post(&guard);
      printf("stored\n");
    } catch (const AppendRefused &refused) {
      printf(refused.reason() == AppendRefused::Reason::QuotaFull ? "full\n" : "duplicate\n");
    } catch (const StoreError &error) {
      printf("error %s\n", qPrintable(error.message().simplified()));
    }
    fflush(stdout);
  }
  return 0;
}

QString number(int worker, int attempt) {
  return QStringLiteral("3201022019050%1%2").arg(worker, 2, 10, QLatin1Char('0')).arg(attempt, 3, 10, QLatin1Char('0'));
}

} // namespace

class StoreRaceTest : public QObject {
  Q_OBJECT
private slots:
  void race_data();
  void race();
};

void StoreRaceTest::race_data() {
  QTest::addColumn<QString>("backend");
  QTest::addColumn<QString>("contest"); // lastPlaces, sameNumber
  for (const QString &backend : {QStringLiteral("sqlite"), QStringLiteral("pg")}) {
    QTest::newRow(qPrintable(backend + QStringLiteral(": last places"))) << backend << QStringLiteral("lastPlaces");
    QTest::newRow(qPrintable(backend + QStringLiteral(": same number"))) << backend << QStringLiteral("sameNumber");
  }
}

void StoreRaceTest::race() {
  QFETCH(QString, backend);
  QFETCH(QString, contest);
  auto db = TestStore::create(backend);
  KG_REQUIRE_PG(db->available());

  const int workers = 4;
  const int capacity = 44; // 实验幼儿园物流园区, as the store holds it
  const QString kindergarten = QStringLiteral("实验幼儿园物流园区");
  const bool lastPlaces = contest == QLatin1String("lastPlaces");
  const int attempts = lastPlaces ? 4 : 1;
  if (lastPlaces)
    db->fillKindergarten(kindergarten, capacity - 5); // five places left for sixteen attempts
  const QString shared = QStringLiteral("110101201905016666");

  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString startFile = dir.filePath(QStringLiteral("go"));
  std::vector<std::unique_ptr<QProcess>> processes;
  for (int w = 0; w < workers; ++w) {
    QStringList args{QString::fromLatin1(kWorkerFlag), db->location().setting(), startFile};
    // The same number is filed for a different kindergarten by each worker,
    // so that only the identity number holds them apart.
    const QStringList kindergartens{kindergarten, QStringLiteral("实验幼儿园万福园区"),
                                    QStringLiteral("实验幼儿园东城园区"), QStringLiteral("实验幼儿园和平园区")};
    args << (lastPlaces ? kindergarten : kindergartens.at(w));
    for (int a = 0; a < attempts; ++a)
      args << (lastPlaces ? number(w, a) : shared);
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(), args);
    QVERIFY2(process->waitForStarted(10000), qPrintable(process->errorString()));
    processes.push_back(std::move(process));
  }
  QThread::msleep(300); // every worker loaded and waiting
  QFile go(startFile);
  QVERIFY(go.open(QIODevice::WriteOnly));
  go.close();

  QStringList outcomes;
  for (auto &process : processes) {
    QVERIFY2(process->waitForFinished(120000), "a worker did not finish");
    QCOMPARE(process->exitCode(), 0);
    // One line per attempt; on Windows the worker's text output ends each
    // line with \r\n.
    for (const QString &line :
         QString::fromUtf8(process->readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
      outcomes << line.trimmed();
  }
  QCOMPARE(outcomes.size(), workers * attempts);
  for (const QString &outcome : outcomes)
    QVERIFY2(!outcome.startsWith(QLatin1String("error")), qPrintable(outcome));

  if (lastPlaces) {
    QCOMPARE(outcomes.count(QStringLiteral("stored")), 5);
    QCOMPARE(outcomes.count(QStringLiteral("full")), workers * attempts - 5);
    QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 申请幼儿园名称 = '实验幼儿园物流园区'")), capacity);
  } else {
    QCOMPARE(outcomes.count(QStringLiteral("stored")), 1);
    QCOMPARE(outcomes.count(QStringLiteral("duplicate")), workers - 1);
    QCOMPARE(db->count(QStringLiteral("select * from lz_yjxxk where 身份证号 = '%1'").arg(shared)), 1);
  }
}

int main(int argc, char *argv[]) {
  if (argc > 1 && qstrcmp(argv[1], kWorkerFlag) == 0)
    return raceWorker(argc, argv);
  TApplication app(argc, argv);
  StoreRaceTest test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "tst_store_race.moc"
