// The opening rush: many clients start filing at the same moment, each a
// process of its own with the main window's two query objects, each filing
// distinct children into the kindergartens of the catchment until all twelve
// are full and beyond. Then the store is checked (every kindergarten holds
// exactly its capacity, no identity number twice). On PostgreSQL, with
// --pgbench-seconds, the lean client (libpq alone, --lean-worker) files the
// same rush before and after, into an empty table, as the measure of the
// client; pgbench runs a single-row insert and the filing's statements with
// as many clients against the same server, for context.
//
//   kgbench_rush --backend sqlite --dir DIR [--clients 8] [--attempts 3000]
//   kgbench_rush --backend pg --server postgres://... [--clients 64] [--pgbench-seconds 8]
//                [--delay-ms 10] [--fsync]
//
// --delay-ms puts a relay (bench/relay.h) between every client, and pgbench,
// and the server, holding each byte that long in each direction; --fsync
// turns fsync and synchronous_commit on for the run (ALTER SYSTEM, reset at
// the end).
//
// The driver starts itself again as each worker (--worker ...).

#include "benchlib.h"
#include "relay.h"

#include "core/gbk.h"
#include "form/catchment.h"
#include "store/backend_postgres.h"
#include "store/schema.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <memory>
#include <random>
#include <string>

using bench::Client;

namespace {

// Which kindergarten each attempt files into: every kindergarten gets the
// same multiple of its capacity (so that all fill up at about the same pace
// and every one of them is asked for more than it holds), in a shuffled
// order that every process derives alike.
std::vector<int> plan(int attempts) {
  const auto quotas = quota::table();
  int places = 0;
  for (const quota::Entry &entry : quotas)
    places += entry.capacity;
  std::vector<int> order;
  for (int k = 0; k < int(quotas.size()); ++k) {
    const int share = (quotas[k].capacity * attempts + places - 1) / places;
    order.insert(order.end(), std::size_t(std::max(share, quotas[k].capacity + 1)), k);
  }
  std::mt19937 random(20220620);
  std::shuffle(order.begin(), order.end(), random);
  return order;
}

int totalPlaces() {
  int places = 0;
  for (const quota::Entry &entry : quota::table())
    places += entry.capacity;
  return places;
}

// CPU time a process has run, in ns (the first field of its schedstat), or -1.
std::int64_t cpuNs(qint64 pid) {
  // A negative pid is a thread of this process.
  QFile file(pid > 0   ? QStringLiteral("/proc/%1/schedstat").arg(pid)
             : pid < 0 ? QStringLiteral("/proc/self/task/%1/schedstat").arg(-pid)
                       : QStringLiteral("/proc/self/schedstat"));
  if (!file.open(QIODevice::ReadOnly))
    return -1;
  bool ok = false;
  const std::int64_t ns = file.readAll().split(' ').value(0).toLongLong(&ok);
  return ok ? ns : -1;
}

// The machine's busy and total time so far, in clock ticks of all cores
// (the first line of /proc/stat).
std::pair<std::int64_t, std::int64_t> machineTicks() {
  QFile file(QStringLiteral("/proc/stat"));
  if (!file.open(QIODevice::ReadOnly))
    return {0, 0};
  const QList<QByteArray> fields = file.readLine().simplified().split(' ');
  std::int64_t total = 0;
  std::int64_t idle = 0;
  for (qsizetype i = 1; i < fields.size() && i <= 8; ++i) {
    total += fields[i].toLongLong();
    if (i == 4 || i == 5) // idle, iowait
      idle += fields[i].toLongLong();
  }
  return {total - idle, total};
}

// CPU time of all threads of this process, in ns.
std::int64_t ownCpuNs() {
  std::int64_t sum = 0;
  for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    sum += std::max<std::int64_t>(0, cpuNs(-task.toLongLong()));
  return sum;
}

// The server process behind a query object's connection (PostgreSQL on this
// machine), or 0. The connection is kept, so it stays the same while the
// server answers; the query is left closed.
qint64 backendOf(QueryObject &query) {
  if (query.location().backend != StoreLocation::Backend::PostgreSQL)
    return 0;
  query.close();
  query.setSql(Statement::plain(QStringLiteral("select pg_backend_pid() as pid")));
  query.open();
  const qint64 pid = query.fieldValue(QStringLiteral("pid")).toLongLong();
  query.close();
  return pid;
}

// ---------------------------------------------------------------------------

// What a worker is given: the store, its index, the number of clients, the
// attempts in all and the seconds it files at most. Its share of the plan is
// every clients-th attempt from its index on.
struct Share {
  explicit Share(const QStringList &args)
      : store(StoreLocation::parse(args.value(0))), index(args.value(1).toInt()), clients(args.value(2).toInt()),
        order(plan(args.value(3).toInt())), limit(args.value(4).toDouble()) {}
  StoreLocation store;
  int index;
  int clients;
  std::vector<int> order;
  double limit;
};

// Tells the driver the worker is connected, and waits for the start signal.
bool readyForGo() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  std::string line;
  return std::getline(std::cin, line) && line == "go";
}

// One attempt's report: its number, outcome, begin, end, third Yes, append
// sent and answered (ns, 0 where none) and its kindergarten.
QByteArray attemptLine(std::size_t k, const char *outcome, std::initializer_list<std::int64_t> figures) {
  QByteArray line = "A " + QByteArray::number(qulonglong(k)) + ' ' + outcome;
  for (std::int64_t figure : figures)
    line += ' ' + QByteArray::number(figure);
  return line + '\n';
}

// Hands the report over, and stays open (like a guardian's client after its
// answer, its sessions kept) until the driver has every report.
void reportThenWait(const QByteArray &report) {
  std::fwrite(report.constData(), 1, std::size_t(report.size()), stdout);
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
}

int worker(const QStringList &args) {
  const Share share(args);
  const auto &[store, index, clients, order, limit] = share;
  const auto quotas = quota::table();

  Client client(store);
  qint64 backends[2] = {0, 0};
  try {
    backends[0] = backendOf(client.ADOTab);
    backends[1] = backendOf(client.BDOTab);
    const int first = index < int(order.size()) ? order[std::size_t(index)] : 0;
    const QVariantMap form =
        bench::application(bench::identity(1), QString::fromUtf8(quotas[std::size_t(first)].kindergarten));
    client.start(form.value(QStringLiteral("村或社区")).toString());
    // The guardian has filled the form: its edits checked every entry as
    // GBK text while it was typed.
    for (const QVariant &entry : form)
      gbk::encodable(entry.toString());
  } catch (const std::exception &error) {
    std::fprintf(stderr, "worker %d: cannot start: %s\n", index, error.what());
    return 1;
  }
  if (!readyForGo())
    return 1;
  auto serverNs = [&] {
    std::int64_t sum = 0;
    for (qint64 pid : backends)
      sum += pid > 0 ? std::max<std::int64_t>(0, cpuNs(pid)) : 0;
    return sum;
  };
  const std::int64_t clientBefore = cpuNs(0);
  const std::int64_t serverBefore = serverNs();

  const std::int64_t deadline = bench::nowNs() + std::int64_t(limit * 1e9);
  QByteArray report;
  int errors = 0;
  for (std::size_t k = std::size_t(index); k < order.size(); k += std::size_t(clients)) {
    if (bench::nowNs() > deadline)
      break;
    const QString kindergarten = QString::fromUtf8(quotas[std::size_t(order[k])].kindergarten);
    QString error;
    const std::int64_t begin = bench::nowNs();
    const Client::Outcome outcome = client.file(bench::identity(qint64(k) + 1), kindergarten, &error);
    const std::int64_t end = bench::nowNs();
    report += attemptLine(k, Client::name(outcome),
                          {begin, end, client.thirdYes, client.appendSent, client.appendAnswered, order[k]});
    if (outcome == Client::Outcome::Failed && ++errors <= 3)
      std::fprintf(stderr, "worker %d, attempt %zu: %s\n", index, k, qPrintable(error));
  }
  report += QByteArray("C ") + QByteArray::number(cpuNs(0) - clientBefore) + ' ' +
            QByteArray::number(serverNs() - serverBefore) + '\n';
  reportThenWait(report);
  return 0;
}

// ---------------------------------------------------------------------------

// The lean client: the same filings with libpq alone and nothing else, on
// one session where the client keeps two. Each statement is prepared the
// first time it runs, in the same request that runs it (as the client's own
// store does), and the append is the same kg_append.
class Lean {
public:
  explicit Lean(const StoreLocation &where) {
    const QByteArray host = where.host.toUtf8();
    const QByteArray port = QByteArray::number(where.port > 0 ? where.port : 5432);
    const QByteArray database = where.database.toUtf8();
    const QByteArray user = where.user.toUtf8();
    const QByteArray password = where.password.toUtf8();
    const char *keys[] = {"host", "port", "dbname", "user", "password", "options", "client_encoding", nullptr};
    const char *values[] = {host.constData(),
                            port.constData(),
                            database.constData(),
                            user.constData(),
                            password.constData(),
                            "-c plan_cache_mode=force_generic_plan",
                            "UTF8",
                            nullptr};
    m_connection = PQconnectdbParams(keys, values, 0);
    if (PQstatus(m_connection) != CONNECTION_OK)
      throw StoreError(QString::fromUtf8(PQerrorMessage(m_connection)));
  }
  ~Lean() { PQfinish(m_connection); }
  Lean(const Lean &) = delete;
  Lean &operator=(const Lean &) = delete;

  // Runs statement `which` (of the four below) with its values; the rows it
  // found, and the first row's first value in *first.
  int run(int which, const std::vector<QByteArray> &values, QByteArray *first = nullptr) {
    std::vector<const char *> pointers;
    for (const QByteArray &value : values)
      pointers.push_back(value.isNull() ? nullptr : value.constData());
    const QByteArray name = "lean" + QByteArray::number(which);
    const int count = int(values.size());
    PGresult *result = nullptr;
    if (m_prepared[std::size_t(which)]) {
      result = PQexecPrepared(m_connection, name.constData(), count, pointers.data(), nullptr, nullptr, 0);
    } else {
      if (!PQenterPipelineMode(m_connection) ||
          !PQsendPrepare(m_connection, name.constData(), text(which).constData(), count, nullptr) ||
          !PQsendQueryPrepared(m_connection, name.constData(), count, pointers.data(), nullptr, nullptr, 0) ||
          !PQpipelineSync(m_connection))
        throw StoreError(QString::fromUtf8(PQerrorMessage(m_connection)));
      // The Parse's answer, the Execute's, the Sync's, each but the last
      // ended by no result.
      PQclear(take(PGRES_COMMAND_OK));
      result = take(PGRES_TUPLES_OK);
      PQclear(take(PGRES_PIPELINE_SYNC, false));
      PQexitPipelineMode(m_connection);
      m_prepared[std::size_t(which)] = true;
    }
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      const QString error = QString::fromUtf8(PQresultErrorMessage(result));
      PQclear(result);
      throw StoreError(error);
    }
    const int rows = PQntuples(result);
    if (first && rows > 0)
      *first = QByteArray(PQgetvalue(result, 0, 0));
    PQclear(result);
    return rows;
  }

  enum { Lookup, Quota, Duplicate, Append };
  // The server process of the session.
  qint64 backend() const { return PQbackendPID(m_connection); }

private:
  static QByteArray text(int which) {
    // The client's statements, their compared value a parameter.
    auto compared = [](const char *head) { return QByteArray(head).chopped(1) + "$1"; };
    switch (which) {
    case Lookup: return compared(bench::kLookupHead);
    case Quota: return compared(bench::kQuotaHead);
    case Duplicate: return compared(bench::kDuplicateHead);
    default: {
      QByteArray call = "select kg_append($1";
      for (qsizetype i = 2; i <= schema::applicationColumns().size(); ++i)
        call += ", $" + QByteArray::number(i);
      return call + ")";
    }
    }
  }
  PGresult *take(ExecStatusType expected, bool endedByNull = true) {
    PGresult *result = PQgetResult(m_connection);
    if (endedByNull)
      while (PGresult *more = PQgetResult(m_connection))
        PQclear(more);
    if (PQresultStatus(result) != expected && PQresultStatus(result) != PGRES_FATAL_ERROR) {
      PQclear(result);
      throw StoreError(QStringLiteral("unexpected answer in the pipeline"));
    }
    return result;
  }

  PGconn *m_connection = nullptr;
  std::array<bool, 4> m_prepared{};
};

int leanWorker(const QStringList &args) {
  const Share share(args);
  const auto &[store, index, clients, order, limit] = share;
  const auto quotas = quota::table();
  std::unique_ptr<Lean> lean;
  try {
    lean = std::make_unique<Lean>(store);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "lean worker %d: cannot start: %s\n", index, error.what());
    return 1;
  }
  if (!readyForGo())
    return 1;
  const std::int64_t clientBefore = cpuNs(0);
  const std::int64_t serverBefore = cpuNs(lean->backend());
  const std::int64_t deadline = bench::nowNs() + std::int64_t(limit * 1e9);
  QByteArray report;
  for (std::size_t k = std::size_t(index); k < order.size(); k += std::size_t(clients)) {
    if (bench::nowNs() > deadline)
      break;
    const quota::Entry &place = quotas[std::size_t(order[k])];
    const QByteArray kindergarten(place.kindergarten);
    const QByteArray number = bench::identity(qint64(k) + 1).toUtf8();
    std::int64_t thirdYes = 0, appendSent = 0, appendAnswered = 0;
    const std::int64_t begin = bench::nowNs();
    const char *outcome = "failed";
    try {
      if (lean->run(Lean::Lookup, {number}) > 0) {
        outcome = "duplicate";
      } else if (lean->run(Lean::Quota, {kindergarten}) >= place.capacity) {
        outcome = "full";
      } else {
        thirdYes = bench::nowNs();
        if (lean->run(Lean::Duplicate, {number}) > 0) {
          outcome = "duplicate";
        } else {
          const QVariantMap values = bench::application(QString::fromUtf8(number), QString::fromUtf8(kindergarten));
          std::vector<QByteArray> arguments;
          for (const QString &column : schema::applicationColumns()) {
            const QVariant value = values.value(column);
            arguments.push_back(value.typeId() == QMetaType::QDateTime
                                    ? value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8()
                                    : value.toString().toUtf8());
          }
          QByteArray answer;
          appendSent = bench::nowNs();
          lean->run(Lean::Append, arguments, &answer);
          appendAnswered = bench::nowNs();
          // kg_append answers 0 for stored, 1 for full, 2 for a number stored already.
          if (answer.toInt() == 0) {
            // The re-run and the lookup after a stored filing.
            lean->run(Lean::Lookup, {number});
            lean->run(Lean::Lookup, {number});
            outcome = "filed";
          } else {
            outcome = answer.toInt() == 1 ? "full-at-append" : "duplicate-at-append";
          }
        }
      }
    } catch (const std::exception &error) {
      std::fprintf(stderr, "lean worker %d, attempt %zu: %s\n", index, k, error.what());
    }
    const std::int64_t end = bench::nowNs();
    report += attemptLine(k, outcome, {begin, end, thirdYes, appendSent, appendAnswered, order[k]});
  }
  report += QByteArray("C ") + QByteArray::number(cpuNs(0) - clientBefore) + ' ' +
            QByteArray::number(cpuNs(lean->backend()) - serverBefore) + '\n';
  reportThenWait(report);
  return 0;
}

// ---------------------------------------------------------------------------

struct Attempt {
  QString outcome;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  std::int64_t thirdYes = 0;
  std::int64_t appendSent = 0;
  std::int64_t appendAnswered = 0;
  int kindergarten = 0;
};

// pgbench against the same server with as many clients, prepared statements,
// in three workloads:
//   insert   the reference: one single-row insert of a complete application
//            into a table like lz_yjxxk (same columns, unique key, index);
//   filing   the statements one filing sends, from a lean C client: for the
//            share of stored filings the lookup, the quota count (a
//            kindergarten half full), the duplicate check, the guarded
//            append in one request (bench_append: the client's kg_append
//            on these tables), the re-run and the final
//            lookup; for the share of refusals the lookup and the quota count
//            of a full kindergarten (context: over a stretch of seconds its
//            sessions file long after their first statements, which the
//            rush's never do; the rush is held to the lean worker below);
//   bare     as filing, but the stored filings without the guard: the six
//            statements the windows themselves issue (lookup, quota count,
//            duplicate check, insert, re-run, lookup), each on its own.
class Pgbench {
public:
  Pgbench(bench::Store &store, int clients, int seconds, const QString &folder, int stored, int refused)
      : m_store(store), m_clients(clients), m_seconds(seconds), m_folder(folder) {
    for (const char *table : {"bench_insert", "bench_filing", "bench_half", "bench_full"})
      store.exec(QStringLiteral("create table %1 (like lz_yjxxk including all)").arg(QLatin1String(table)));
    // Kindergartens full, and half full, as the quota count finds them.
    const auto quotas = quota::table();
    QStringList names;
    for (const quota::Entry &entry : quotas) {
      const QString name = QString::fromUtf8(entry.kindergarten);
      names << QStringLiteral("'%1'").arg(name);
      for (const char *table : {"bench_full", "bench_half"}) {
        const int rows = qstrcmp(table, "bench_full") == 0 ? entry.capacity : entry.capacity / 2;
        store.exec(QStringLiteral("insert into %1 (%2) select %3 from generate_series(1, %4) as g")
                       .arg(QLatin1String(table), columnList(),
                            literals(QStringLiteral("'%1-' || g").arg(name), QStringLiteral("'%1'").arg(name)))
                       .arg(rows));
      }
    }
    store.exec(QStringLiteral("analyze"));
    const QString number = QStringLiteral("lpad(:n::text, 18, '0')");
    const QString kindergarten = QStringLiteral("(array[%1])[:k]").arg(names.join(QLatin1Char(',')));
    const QString head =
        QStringLiteral("\\set k random(1, %1)\n\\set n random(1, 999999999999999)\n").arg(quotas.size());
    const QString lookup = QStringLiteral("%1%2;\n")
                               .arg(Statement::compare(QString::fromUtf8(bench::kLookupHead), QString()).head)
                               .arg(number);
    auto on = [](QString text, const QString &table) { return text.replace(QStringLiteral("lz_yjxxk"), table); };
    const QString lookupFiled =
        on(lookup, QStringLiteral("bench_filing")).replace(QStringLiteral("='"), QStringLiteral("="));
    QString quotaHalf = QStringLiteral("%1%2;\n").arg(QString::fromUtf8(bench::kQuotaHead)).arg(kindergarten);
    quotaHalf.replace(QStringLiteral("='"), QStringLiteral("="));
    const QString quotaFull = on(quotaHalf, QStringLiteral("bench_full"));
    quotaHalf = on(quotaHalf, QStringLiteral("bench_half"));
    QString duplicate = QStringLiteral("%1%2;\n").arg(QString::fromUtf8(bench::kDuplicateHead)).arg(number);
    duplicate = on(duplicate.replace(QStringLiteral("='"), QStringLiteral("=")), QStringLiteral("bench_filing"));
    // The server's append of the client, counting in bench_half and storing
    // into bench_filing.
    store.exec(PostgresBackend::appendFunction()
                   .replace(QStringLiteral("kg_append"), QStringLiteral("bench_append"))
                   .replace(QStringLiteral("from lz_yjxxk where 申请幼儿园名称"),
                            QStringLiteral("from bench_half where 申请幼儿园名称"))
                   .replace(QStringLiteral("lz_yjxxk"), QStringLiteral("bench_filing")));
    const QString filing =
        head + lookupFiled + quotaHalf + duplicate +
        QStringLiteral("select bench_append(%1);\n").arg(literals(number, kindergarten, QStringLiteral("varchar"))) +
        lookupFiled + lookupFiled;
    const QString bare =
        head + lookupFiled + quotaHalf + duplicate +
        QStringLiteral("insert into bench_filing (%1) select %2;\n").arg(columnList(), literals(number, kindergarten)) +
        lookupFiled + lookupFiled;
    const QString refusal = head + lookupFiled + quotaFull;
    write(QStringLiteral("insert.sql"),
          QStringLiteral("insert into bench_insert (%1) select %2;\n")
              .arg(columnList(), literals(QStringLiteral("lpad(nextval('bench_insert_seq')::text, 18, '0')"),
                                          QStringLiteral("'%1'").arg(QString::fromUtf8(quotas[0].kindergarten)))));
    store.exec(QStringLiteral("create sequence bench_insert_seq"));
    write(QStringLiteral("filing.sql"), filing);
    write(QStringLiteral("bare.sql"), bare);
    write(QStringLiteral("refusal.sql"), refusal);
    m_filingScripts = {QStringLiteral("-f"), m_folder + QStringLiteral("/filing.sql@%1").arg(stored),
                       QStringLiteral("-f"), m_folder + QStringLiteral("/refusal.sql@%1").arg(refused)};
    m_bareScripts = {QStringLiteral("-f"), m_folder + QStringLiteral("/bare.sql@%1").arg(stored), QStringLiteral("-f"),
                     m_folder + QStringLiteral("/refusal.sql@%1").arg(refused)};
  }

  // Transactions per second of one run, or -1.
  double insert() { return run({QStringLiteral("-f"), m_folder + QStringLiteral("/insert.sql")}, "insert"); }
  double filing() { return run(m_filingScripts, "filing"); }
  double bare() { return run(m_bareScripts, "bare filing"); }
  // pgbench reaches the server through this port (the relay's) from now on.
  void throughPort(int port) { m_port = port; }

private:
  int m_port = 0;
  static QString columnList() { return schema::applicationColumns().join(QLatin1Char(',')); }
  // The select list of a complete application with the given expressions
  // for the number and the kindergarten.
  static QString literals(const QString &number, const QString &kindergarten, const QString &textType = QString()) {
    const QVariantMap values = bench::application(bench::identity(1), QStringLiteral("实验幼儿园和平园区"));
    QStringList list;
    for (const QString &column : schema::applicationColumns()) {
      const QVariant value = values.value(column);
      const QString cast = textType.isEmpty() ? QString() : QStringLiteral("::") + textType;
      if (column == QStringLiteral("身份证号"))
        list << number + cast;
      else if (column == QStringLiteral("申请幼儿园名称"))
        list << kindergarten + cast;
      else if (value.typeId() == QMetaType::QDateTime)
        list
            << QStringLiteral("timestamp '%1'").arg(value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
      else
        list << QStringLiteral("'%1'").arg(value.toString());
    }
    return list.join(QLatin1Char(','));
  }
  void write(const QString &name, const QString &text) {
    QFile file(m_folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
      throw StoreError(QStringLiteral("cannot write %1").arg(file.fileName()));
    file.write(text.toUtf8());
  }
  // pgbench's threads: each connects its clients one after the other, and
  // behind the relay every login takes several round trips; with two threads
  // 256 clients spent the whole run connecting. One thread for every eight
  // clients connects them about as fast as the rush's client processes do.
  int threads() const { return std::clamp(m_clients / 8, 2, 32); }

  double run(const QStringList &scripts, const char *what) {
    const StoreLocation &where = m_store.location();
    QProcess pgbench;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"), where.password);
    // The session settings of the client's connections.
    environment.insert(QStringLiteral("PGOPTIONS"), QStringLiteral("-c plan_cache_mode=force_generic_plan"));
    pgbench.setProcessEnvironment(environment);
    pgbench.setProcessChannelMode(QProcess::MergedChannels);
    pgbench.start(QStringLiteral("pgbench"),
                  QStringList{QStringLiteral("-n"), QStringLiteral("-M"), QStringLiteral("prepared"),
                              QStringLiteral("-c"), QString::number(m_clients), QStringLiteral("-j"),
                              QString::number(threads()), QStringLiteral("-T"), QString::number(m_seconds)} +
                      scripts +
                      QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                  QString::number(m_port > 0 ? m_port : where.port), QStringLiteral("-U"), where.user,
                                  where.database});
    if (!pgbench.waitForStarted(10000)) {
      std::fprintf(stderr, "pgbench did not start: %s\n", qPrintable(pgbench.errorString()));
      return -1;
    }
    if (!pgbench.waitForFinished((m_seconds + 60) * 1000)) {
      pgbench.kill();
      pgbench.waitForFinished(5000);
      std::fprintf(stderr, "pgbench did not finish\n");
      return -1;
    }
    const QString output = QString::fromUtf8(pgbench.readAll());
    const QRegularExpressionMatch tps =
        QRegularExpression(QStringLiteral("tps = ([0-9.]+) \\(without initial connection time\\)")).match(output);
    if (pgbench.exitCode() != 0 || !tps.hasMatch()) {
      std::fprintf(stderr, "pgbench %s failed:\n%s\n", what, qPrintable(output));
      return -1;
    }
    std::fprintf(stderr, "pgbench %s: %s tps\n", what, qPrintable(tps.captured(1)));
    return tps.captured(1).toDouble();
  }

  bench::Store &m_store;
  int m_clients;
  int m_seconds;
  QString m_folder;
  QStringList m_filingScripts;
  QStringList m_bareScripts;
};

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
  launched.machineBefore = machineTicks();
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
  launched.machineAfter = machineTicks();
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
    store = std::make_unique<bench::Store>(bench::Store::postgres(server));
  } else {
    store = std::make_unique<bench::Store>(bench::Store::sqlite(folder, QStringLiteral("rush.db")));
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
  QString clientUrl = store->url();
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
    QSqlQuery query(store->database());
    query.prepare(QStringLiteral("select count(*) from lz_yjxxk where 申请幼儿园名称 = ?"));
    query.addBindValue(name);
    const int stored = query.exec() && query.next() ? query.value(0).toInt() : -1;
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
             district ? bench::verdict(fromYes.p99 <= yesTarget) : QString());
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
               QStringLiteral(">= 0.90"), bench::verdict(leanRate > 0 && rate / leanRate >= 0.9));
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
