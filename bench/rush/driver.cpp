// The rush's driver: the store, the clients started together, the figures
// (see rush.h).

#include "rush/pgbench.h"
#include "rush/rush.h"

#include "relay.h"

#include "filing/catchment.h"
#include "store/schema.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>

using bench::Client;
using namespace rush;

namespace {

double mean(const std::vector<double> &values) {
  if (values.empty())
    return -1;
  double sum = 0;
  for (double value : values)
    sum += value;
  return sum / double(values.size());
}

// One rush: the clients (workers of the given kind) start and connect, get
// the start signal together, file their shares and report.
struct Launch {
  bool ready = false;
  std::vector<Attempt> results;
  std::int64_t go = 0;
  int crashed = 0;
  double clientCpu = 0; // s
  double serverCpu = 0; // s
  std::pair<std::int64_t, std::int64_t> machineBefore, machineAfter;
  std::int64_t driverCpu = 0; // ns
};

Launch launch(const QString &kind, const QString &clientUrl, int clients, int attempts, double limit,
              DelayRelay *relay) {
  Launch launched;
  std::vector<std::unique_ptr<QProcess>> workers;
  for (int w = 0; w < clients; ++w) {
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(),
                   {kind, clientUrl, QString::number(w), QString::number(clients), QString::number(attempts),
                    QString::number(limit)});
    workers.push_back(std::move(process));
  }
  const std::int64_t readyBy = bench::nowNs() + std::int64_t(120e9);
  for (auto &process : workers) {
    while (!process->canReadLine() && process->state() != QProcess::NotRunning && bench::nowNs() < readyBy)
      process->waitForReadyRead(1000);
    if (process->readLine().trimmed() != "ready") {
      std::fprintf(stderr, "a worker did not get ready\n");
      for (auto &other : workers)
        other->kill();
      for (auto &other : workers)
        other->waitForFinished(5000);
      return launched;
    }
  }
  launched.ready = true;

  if (relay)
    relay->resetLateness();
  launched.machineBefore = bench::machineTicks();
  const std::int64_t driverBefore = ownCpuNs();
  const std::int64_t go = launched.go = bench::nowNs();
  for (auto &process : workers)
    process->write("go\n");
  for (auto &process : workers)
    process->waitForBytesWritten(1000);
  const std::int64_t waitUntil = go + std::int64_t((limit + 60) * 1e9);
  // Every client reports, and stays (its connections open) until all have:
  // a client that ends tears down its process and its server sessions, work
  // a district's clients do not do in the rush.
  std::vector<QByteArray> reports(workers.size());
  for (std::size_t w = 0; w < workers.size(); ++w) {
    QProcess &process = *workers[w];
    QByteArray &report = reports[w];
    while (!report.contains("\nC ") && !report.startsWith("C ") && bench::nowNs() < waitUntil) {
      if (process.state() == QProcess::NotRunning) {
        report += process.readAllStandardOutput();
        break;
      }
      process.waitForReadyRead(1000);
      report += process.readAllStandardOutput();
    }
  }
  launched.machineAfter = bench::machineTicks();
  launched.driverCpu = ownCpuNs() - driverBefore;
  for (auto &process : workers)
    process->write("quit\n");
  for (std::size_t w = 0; w < workers.size(); ++w) {
    QProcess &process = *workers[w];
    if (!process.waitForFinished(10000)) {
      process.kill();
      process.waitForFinished(5000);
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
      ++launched.crashed;
    reports[w] += process.readAllStandardOutput();
    for (const QByteArray &line : reports[w].split('\n')) {
      const QList<QByteArray> parts = line.split(' ');
      if (parts.size() == 9 && parts[0] == "A")
        launched.results.push_back({QString::fromLatin1(parts[2]), parts[3].toLongLong(), parts[4].toLongLong(),
                                    parts[5].toLongLong(), parts[6].toLongLong(), parts[7].toLongLong(),
                                    parts[8].toInt()});
      if (parts.size() == 3 && parts[0] == "C") {
        launched.clientCpu += parts[1].toDouble() / 1e9;
        launched.serverCpu += parts[2].toDouble() / 1e9;
      }
    }
  }
  return launched;
}

// Refusals at the append that were sent more than 100 ms before an append of
// the same kindergarten that was stored: the later one overtook them.
int overtakenRefusals(const std::vector<Attempt> &results) {
  int overtaken = 0;
  for (const Attempt &refused : results) {
    if (refused.outcome != QLatin1String(Client::name(Client::Outcome::QuotaFullAtAppend)))
      continue;
    for (const Attempt &stored : results) {
      if (stored.outcome == QLatin1String("filed") && stored.kindergarten == refused.kindergarten &&
          stored.appendSent - refused.appendSent > 100000000) {
        ++overtaken;
        break;
      }
    }
  }
  return overtaken;
}

// What a rush came to: its rate, when the last kindergarten became full, and
// the p99 from the third Yes to the answer of a stored filing.
struct Outline {
  int filed = 0;
  double rate = 0;      // attempts/s
  double fullAfter = 0; // s after the start signal
  double yesP99 = 0;    // ms
  double clientCpu = 0; // µs per attempt, the clients' processes
  double serverCpu = 0; // µs per attempt, their server sessions
  int overtaken = 0;    // refusals at the append overtaken
};

Outline outline(const Launch &launched) {
  Outline out;
  std::int64_t last = launched.go;
  std::int64_t lastFiled = launched.go;
  std::vector<double> yes;
  for (const Attempt &attempt : launched.results) {
    last = std::max(last, attempt.end);
    if (attempt.outcome == QLatin1String("filed")) {
      ++out.filed;
      lastFiled = std::max(lastFiled, attempt.end);
      yes.push_back(double(attempt.appendAnswered - attempt.thirdYes) / 1e6);
    }
  }
  const double elapsed = bench::seconds(last - launched.go);
  out.rate = elapsed > 0 ? double(launched.results.size()) / elapsed : 0;
  out.fullAfter = bench::seconds(lastFiled - launched.go);
  out.yesP99 = bench::summarise(yes).p99;
  out.overtaken = overtakenRefusals(launched.results);
  if (!launched.results.empty()) {
    out.clientCpu = launched.clientCpu * 1e6 / double(launched.results.size());
    out.serverCpu = launched.serverCpu * 1e6 / double(launched.results.size());
  }
  return out;
}

int driver(const QCommandLineParser &options) {
  const QString backend = options.value(QStringLiteral("backend"));
  const bool pg = backend == QLatin1String("pg");
  const int clients = options.value(QStringLiteral("clients")).toInt();
  const int attempts = options.value(QStringLiteral("attempts")).toInt();
  const double limit = options.value(QStringLiteral("time-limit")).toDouble();
  const int pgbenchSeconds = options.value(QStringLiteral("pgbench-seconds")).toInt();
  const QString label = pg ? QStringLiteral("rush PostgreSQL") : QStringLiteral("rush SQLite");
  bench::reportLoad(label);
  if (clients < 1 || attempts < 1) {
    std::fprintf(stderr, "--clients and --attempts must be positive\n");
    return 2;
  }

  QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/kgbench-rush-XXXXXX"));
  const QString folder = options.isSet(QStringLiteral("dir")) ? options.value(QStringLiteral("dir")) : scratch.path();
  QDir().mkpath(folder);
  std::unique_ptr<bench::Store> store;
  if (pg) {
    const QString server = options.isSet(QStringLiteral("server")) ? options.value(QStringLiteral("server"))
                                                                   : qEnvironmentVariable("KG_TEST_PG");
    if (server.isEmpty()) {
      std::fprintf(stderr, "no PostgreSQL server: give --server or set KG_TEST_PG\n");
      return 2;
    }
    store = std::make_unique<bench::Store>(bench::postgresStore(server));
  } else {
    store = std::make_unique<bench::Store>(bench::sqliteStore(folder, QStringLiteral("rush.db")));
  }

  // A district's server: every commit on disk, and a network between the
  // clients and the server.
  struct Durable {
    bench::Store *store = nullptr;
    ~Durable() {
      if (!store)
        return;
      store->exec(QStringLiteral("alter system reset fsync"));
      store->exec(QStringLiteral("alter system reset synchronous_commit"));
      store->exec(QStringLiteral("select pg_reload_conf()"));
    }
  } durable;
  if (pg && options.isSet(QStringLiteral("fsync"))) {
    store->exec(QStringLiteral("alter system set fsync = on"));
    store->exec(QStringLiteral("alter system set synchronous_commit = on"));
    store->exec(QStringLiteral("select pg_reload_conf()"));
    durable.store = store.get();
    // A server started with fsync off on its command line keeps it off
    // whatever is set later: its figures would not be a durable server's.
    QThread::msleep(500);
    if (store->value(QStringLiteral("select current_setting('fsync')")).toString() != QLatin1String("on")) {
      std::fprintf(stderr,
                   "%s: the server keeps fsync off (set on its command line); start it with fsync on "
                   "(scripts/pg.sh: KG_PG_FSYNC=on)\n",
                   qPrintable(label));
      return 1;
    }
  }
  const int delayMs = options.value(QStringLiteral("delay-ms")).toInt();
  std::unique_ptr<DelayRelay> relay;
  QString clientUrl = store->location().setting();
  if (pg && delayMs > 0) {
    relay = std::make_unique<DelayRelay>(store->location().port, delayMs);
    StoreLocation through = store->location();
    through.host = QStringLiteral("127.0.0.1");
    through.port = relay->port();
    clientUrl = through.setting();
  }
  if (pg)
    std::fprintf(stderr, "%s: fsync %s, a relay adding %d ms each way\n", qPrintable(label),
                 qPrintable(store->value(QStringLiteral("select current_setting('fsync')")).toString()), delayMs);

  const std::vector<int> order = plan(attempts);
  // pgbench runs before and after the rush; each figure is the mean of both.
  std::unique_ptr<Pgbench> pgbench;
  std::vector<double> insertRates, filingRates, bareRates;
  auto runPgbench = [&] {
    if (!pgbench)
      return;
    if (const double rate = pgbench->insert(); rate > 0)
      insertRates.push_back(rate);
    if (const double rate = pgbench->filing(); rate > 0)
      filingRates.push_back(rate);
    if (const double rate = pgbench->bare(); rate > 0)
      bareRates.push_back(rate);
  };
  // The lean client files the same rush before and after the client's, each
  // time into an empty table; each figure is the mean of both.
  std::vector<Outline> leanRuns;
  auto runLean = [&] {
    store->exec(QStringLiteral("truncate lz_yjxxk"));
    const Launch lean = launch(QStringLiteral("--lean-worker"), clientUrl, clients, attempts, limit, nullptr);
    store->exec(QStringLiteral("truncate lz_yjxxk"));
    const Outline out = outline(lean);
    if (!lean.ready || lean.crashed || out.filed != totalPlaces()) {
      std::fprintf(stderr, "the lean client failed (%d of %d stored)\n", out.filed, totalPlaces());
      return;
    }
    std::fprintf(stderr, "the lean client: %.1f attempts/s, full after %.2f s\n", out.rate, out.fullAfter);
    leanRuns.push_back(out);
  };
  if (pg && pgbenchSeconds > 0) {
    pgbench = std::make_unique<Pgbench>(*store, clients, pgbenchSeconds, folder, totalPlaces(),
                                        int(order.size()) - totalPlaces());
    if (relay)
      pgbench->throughPort(relay->port());
    runPgbench();
  }

  std::fprintf(stderr, "%s: %d clients, %zu attempts for %d places\n", qPrintable(label), clients, order.size(),
               totalPlaces());
  if (pg && pgbench)
    runLean();
  const Launch launched = launch(QStringLiteral("--worker"), clientUrl, clients, attempts, limit, relay.get());
  if (!launched.ready)
    return 1;
  const std::vector<Attempt> &results = launched.results;
  const std::int64_t go = launched.go;
  const int crashed = launched.crashed;
  const double clientCpu = launched.clientCpu;
  const double serverCpu = launched.serverCpu;
  const auto machineBefore = launched.machineBefore;
  const auto machineAfter = launched.machineAfter;
  const std::int64_t driverCpu = launched.driverCpu;

  const DelayRelay::Lateness late = relay ? relay->lateness() : DelayRelay::Lateness{};
  runPgbench();

  // What the clients saw.
  const Outline summary = outline(launched);
  std::int64_t last = go;
  std::vector<double> latencies;
  std::vector<double> filedLatencies;
  std::vector<double> yesLatencies; // stored filings: third Yes to the append's answer
  // The same, apart for the opening second (every client's first filing,
  // on fresh sessions) and after it.
  std::vector<double> yesOpening;
  std::vector<double> yesLater;
  QMap<QString, int> outcomes;
  for (const Attempt &attempt : results) {
    last = std::max(last, attempt.end);
    latencies.push_back(double(attempt.end - attempt.begin) / 1e6);
    outcomes[attempt.outcome] += 1;
    if (attempt.outcome == QLatin1String("filed")) {
      filedLatencies.push_back(double(attempt.end - attempt.begin) / 1e6);
      yesLatencies.push_back(double(attempt.appendAnswered - attempt.thirdYes) / 1e6);
      (attempt.thirdYes - go < std::int64_t(1e9) ? yesOpening : yesLater).push_back(yesLatencies.back());
    }
  }
  if (options.isSet(QStringLiteral("trace"))) {
    QFile trace(options.value(QStringLiteral("trace")));
    if (trace.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      for (const Attempt &attempt : results)
        trace.write(QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                        .arg(attempt.outcome)
                        .arg(double(attempt.begin - go) / 1e6, 0, 'f', 3)
                        .arg(double(attempt.end - go) / 1e6, 0, 'f', 3)
                        .arg(attempt.thirdYes ? double(attempt.thirdYes - go) / 1e6 : -1.0, 0, 'f', 3)
                        .arg(attempt.appendSent ? double(attempt.appendSent - go) / 1e6 : -1.0, 0, 'f', 3)
                        .arg(attempt.appendAnswered ? double(attempt.appendAnswered - go) / 1e6 : -1.0, 0, 'f', 3)
                        .arg(attempt.kindergarten)
                        .toUtf8());
    }
  }
  const double elapsed = bench::seconds(last - go);
  const double rate = summary.rate;
  const bench::Summary all = bench::summarise(latencies);
  const bench::Summary filed = bench::summarise(filedLatencies);
  const bench::Summary fromYes = bench::summarise(yesLatencies);
  QStringList counted;
  for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
    counted << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
  std::fprintf(stderr, "%s: %zu of %zu attempts in %.2f s (monotonic %lld to %lld ns); %s\n", qPrintable(label),
               results.size(), order.size(), elapsed, static_cast<long long>(go), static_cast<long long>(last),
               qPrintable(counted.join(QStringLiteral(", "))));

  // What the store holds.
  int kindergartensRight = 0;
  QStringList wrong;
  for (const quota::Entry &entry : quota::table()) {
    const QString name = QString::fromUtf8(entry.kindergarten);
    int stored = -1;
    try {
      Result count;
      store->connection().run(QStringLiteral("select count(*) from lz_yjxxk where 申请幼儿园名称 = ?"), {name}, &count);
      stored = count.rows.isEmpty() ? -1 : count.rows.first().value(0).toInt();
    } catch (const StoreError &) {
      // Named below as -1.
    }
    if (stored == entry.capacity)
      ++kindergartensRight;
    else
      wrong << QStringLiteral("%1 %2/%3").arg(name).arg(stored).arg(entry.capacity);
  }
  if (!wrong.isEmpty())
    std::fprintf(stderr, "kindergartens not at capacity: %s\n", qPrintable(wrong.join(QStringLiteral(", "))));
  const int twice = store
                        ->value(QStringLiteral("select count(*) from (select 身份证号 from lz_yjxxk group by 身份证号 "
                                               "having count(*) > 1) as repeated"))
                        .toInt();
  const int rows = store->value(QStringLiteral("select count(*) from lz_yjxxk")).toInt();
  const int places = totalPlaces();
  const int failed = outcomes.value(QStringLiteral("failed")) + outcomes.value(QStringLiteral("duplicate")) +
                     outcomes.value(QStringLiteral("duplicate-at-append"));
  if (pg && pgbench)
    runLean();

  bench::row(label, QStringLiteral("concurrent clients (processes)"), QString::number(clients),
             pg ? QStringLiteral(">= 64") : QStringLiteral(">= 8"), bench::verdict(clients >= (pg ? 64 : 8)));
  bench::row(label, QStringLiteral("attempts finished"),
             QStringLiteral("%1 of %2").arg(results.size()).arg(order.size()), QStringLiteral(">= 3000, all"),
             bench::verdict(results.size() >= 3000 && results.size() == order.size() && crashed == 0));
  bench::row(label, QStringLiteral("attempts per second"), bench::number(rate));
  // The district's targets hold for a durable server behind the network.
  const bool district = relay && options.isSet(QStringLiteral("fsync"));
  const double fullAfter = summary.fullAfter;
  if (district)
    bench::row(label, QStringLiteral("seconds until all twelve full"), bench::number(fullAfter, 2),
               QStringLiteral("<= 3"), bench::verdict(fullAfter <= 3));
  else
    bench::row(label, QStringLiteral("seconds until all twelve full"), bench::number(fullAfter, 2));
  bench::row(label, QStringLiteral("latency of one filing, median / p99 (ms)"),
             QStringLiteral("%1 / %2").arg(bench::number(all.median, 2), bench::number(all.p99, 2)));
  bench::row(label, QStringLiteral("  of the stored ones, median / p99 (ms)"),
             QStringLiteral("%1 / %2").arg(bench::number(filed.median, 2), bench::number(filed.p99, 2)));
  const double yesTarget = clients >= 256 ? 1000 : 200;
  bench::row(label, QStringLiteral("third Yes to the answer of a stored filing, median / p99 (ms)"),
             QStringLiteral("%1 / %2").arg(bench::number(fromYes.median, 2), bench::number(fromYes.p99, 2)),
             district ? QStringLiteral("p99 <= %1").arg(yesTarget) : QString(),
             district ? bench::timedVerdict(fromYes.p99 <= yesTarget) : QString());
  const bench::Summary opening = bench::summarise(yesOpening);
  const bench::Summary later = bench::summarise(yesLater);
  bench::row(label, QStringLiteral("  third Yes in the first second / after it: filings, median / p99 (ms)"),
             QStringLiteral("%1, %2 / %3; %4, %5 / %6")
                 .arg(yesOpening.size())
                 .arg(bench::number(opening.median, 1), bench::number(opening.p99, 1))
                 .arg(yesLater.size())
                 .arg(bench::number(later.median, 1), bench::number(later.p99, 1)));
  bench::row(label, QStringLiteral("refusals at the append sent > 100 ms before a stored one of the kindergarten"),
             QString::number(summary.overtaken), QStringLiteral("0"), summary.overtaken == 0 ? "met" : "MISSED");
  if (!results.empty())
    bench::row(
        label,
        pg ? QStringLiteral("CPU per attempt (us): clients / their server processes (%1 cores busy)")
                 .arg(bench::number((clientCpu + serverCpu) / elapsed, 2))
           : QStringLiteral("CPU per attempt of the clients (us)"),
        pg ? QStringLiteral("%1 / %2").arg(bench::number(summary.clientCpu, 0), bench::number(summary.serverCpu, 0))
           : bench::number(summary.clientCpu, 0));
  if (const std::int64_t total = machineAfter.second - machineBefore.second; total > 0)
    bench::row(
        label, QStringLiteral("the machine during the rush: cores busy of %1").arg(QThread::idealThreadCount()),
        QStringLiteral("%1 (this driver and its relay: %2)")
            .arg(bench::number(
                     double(machineAfter.first - machineBefore.first) / double(total) * QThread::idealThreadCount(), 2),
                 bench::number(double(driverCpu) / double(last - go), 2)));
  if (relay)
    // The network the relay stands for: each piece passed on at its time.
    bench::row(label, QStringLiteral("relay: real-time priority; pieces passed on late, p99 / max (ms); > 1 ms late"),
               QStringLiteral("%1; %2 / %3; %4 of %5")
                   .arg(relay->realTime() ? QStringLiteral("yes") : QStringLiteral("no (not allowed)"),
                        bench::number(late.p99Ms, 1), bench::number(late.maxMs, 1))
                   .arg(late.overOneMs)
                   .arg(late.pieces));
  bench::row(label, QStringLiteral("stored / refused full / refused at append"),
             QStringLiteral("%1 / %2 / %3")
                 .arg(outcomes.value(QStringLiteral("filed")))
                 .arg(outcomes.value(QStringLiteral("full")))
                 .arg(outcomes.value(QStringLiteral("full-at-append"))),
             QStringLiteral("%1 stored").arg(places),
             bench::verdict(outcomes.value(QStringLiteral("filed")) == places && rows == places));
  bench::row(label, QStringLiteral("kindergartens holding exactly their capacity"),
             QStringLiteral("%1 of 12").arg(kindergartensRight), QStringLiteral("12 of 12"),
             bench::verdict(kindergartensRight == 12));
  bench::row(label, QStringLiteral("identity numbers stored twice / failed attempts"),
             QStringLiteral("%1 / %2").arg(twice).arg(failed), QStringLiteral("0 / 0"),
             bench::verdict(twice == 0 && failed == 0));
  if (pgbench) {
    const double insertRate = mean(insertRates);
    const double filingRate = mean(filingRates);
    auto both = [](const std::vector<double> &rates) {
      QStringList texts;
      for (double rate : rates)
        texts << bench::number(rate);
      return texts.join(QStringLiteral(" / "));
    };
    bench::row(label, QStringLiteral("pgbench single-row insert, %1 clients, tps (before / after)").arg(clients),
               both(insertRates));
    // Context only: no client that issues the windows' statements comes near
    // a single-row insert (see the ceiling below).
    bench::row(label, QStringLiteral("rush attempts/s : pgbench insert tps"),
               insertRate > 0 ? bench::number(rate / insertRate, 3) : QStringLiteral("pgbench failed"));
    // The lean client: the same rush from libpq alone, in the same run.
    QStringList leanRates, leanFull, leanYes, leanCpu, leanOvertaken;
    double leanRate = 0;
    for (const Outline &lean : leanRuns) {
      leanRate += lean.rate / double(leanRuns.size());
      leanRates << bench::number(lean.rate);
      leanFull << bench::number(lean.fullAfter, 2);
      leanYes << bench::number(lean.yesP99, 0);
      leanOvertaken << QString::number(lean.overtaken);
      leanCpu << QStringLiteral("%1 / %2").arg(bench::number(lean.clientCpu, 0), bench::number(lean.serverCpu, 0));
    }
    bench::row(label, QStringLiteral("the lean client (libpq alone, one session each), attempts/s (before / after)"),
               leanRuns.empty() ? QStringLiteral("failed") : leanRates.join(QStringLiteral(" / ")));
    bench::row(label,
               QStringLiteral("  its seconds until all twelve full; p99 third Yes to stored (ms); refusals overtaken"),
               QStringLiteral("%1; %2; %3")
                   .arg(leanFull.join(QStringLiteral(" / ")), leanYes.join(QStringLiteral(" / ")),
                        leanOvertaken.join(QStringLiteral(" / "))));
    bench::row(label, QStringLiteral("  its CPU per attempt (us): processes / their server sessions"),
               leanCpu.join(QStringLiteral("; ")));
    bench::row(label, QStringLiteral("  rush : the lean client"),
               leanRate > 0 ? bench::number(rate / leanRate, 2) : QStringLiteral("lean client failed"),
               QStringLiteral(">= 0.90"), bench::timedVerdict(leanRate > 0 && rate / leanRate >= 0.9));
    // Context: pgbench with the same statements over a stretch of seconds,
    // its sessions long warm (the rush's file a dozen times each at 256).
    bench::row(
        label,
        QStringLiteral("pgbench with the filing's statements, %1 s, attempts/s (before / after)").arg(pgbenchSeconds),
        both(filingRates));
    bench::row(label, QStringLiteral("  rush : pgbench with the filing's statements"),
               filingRate > 0 ? bench::number(rate / filingRate, 2) : QStringLiteral("pgbench failed"));
    bench::row(label, QStringLiteral("  pgbench filing statements : pgbench insert (cost of the statements)"),
               filingRate > 0 && insertRate > 0 ? bench::number(filingRate / insertRate, 3)
                                                : QStringLiteral("pgbench failed"));
    const double bareRate = mean(bareRates);
    bench::row(label, QStringLiteral("pgbench, the six statements of the windows alone, attempts/s (before / after)"),
               both(bareRates));
    bench::row(label, QStringLiteral("  pgbench six statements : pgbench insert (ceiling of any such client)"),
               bareRate > 0 && insertRate > 0 ? bench::number(bareRate / insertRate, 3)
                                              : QStringLiteral("pgbench failed"));
  }
  return 0;
}

} // namespace

int main(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  const QStringList arguments = app.arguments();
  if (arguments.size() >= 2 && arguments.at(1) == QLatin1String("--worker"))
    return worker(arguments.mid(2));
  if (arguments.size() >= 2 && arguments.at(1) == QLatin1String("--lean-worker"))
    return leanWorker(arguments.mid(2));

  QCommandLineParser options;
  options.setApplicationDescription(QStringLiteral("The opening rush of many clients filing at once."));
  options.addHelpOption();
  options.addOptions({
      {QStringLiteral("backend"), QStringLiteral("sqlite or pg"), QStringLiteral("name"), QStringLiteral("sqlite")},
      {QStringLiteral("server"), QStringLiteral("PostgreSQL server (default $KG_TEST_PG)"), QStringLiteral("url")},
      {QStringLiteral("dir"), QStringLiteral("folder of the SQLite store"), QStringLiteral("path")},
      {QStringLiteral("clients"), QStringLiteral("client processes"), QStringLiteral("n"), QStringLiteral("8")},
      {QStringLiteral("attempts"), QStringLiteral("filing attempts in all"), QStringLiteral("n"),
       QStringLiteral("3000")},
      {QStringLiteral("time-limit"), QStringLiteral("seconds a worker files at most"), QStringLiteral("s"),
       QStringLiteral("150")},
      {QStringLiteral("trace"),
       QStringLiteral("write every attempt (outcome; begin, end, third Yes, append sent, append answered in ms after "
                      "the start, -1 where none; kindergarten)"),
       QStringLiteral("file")},
      {QStringLiteral("pgbench-seconds"), QStringLiteral("length of each pgbench run (0: none)"), QStringLiteral("s"),
       QStringLiteral("8")},
      {QStringLiteral("delay-ms"),
       QStringLiteral("PostgreSQL: a relay between every client (and pgbench) and the server holds each byte this "
                      "long in each direction"),
       QStringLiteral("ms"), QStringLiteral("0")},
      {QStringLiteral("fsync"), QStringLiteral("PostgreSQL: fsync and synchronous_commit on for the run")},
  });
  options.process(app);
  try {
    return driver(options);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "kgbench_rush: %s\n", error.what());
    return 1;
  }
}
