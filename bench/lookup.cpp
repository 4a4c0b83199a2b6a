// The lookup at scale: the lookup statement through the query object (open,
// fetch the whole result, read 申请幼儿园名称 and 部别) against the same
// statement through the raw driver (the SQLite C API, libpq) on the same
// data, with a small table and a large one in two stores. The ways take turns
// lookup by lookup, on the same numbers, and the two sizes segment by
// segment, so that all see the same machine.
//
//   kgbench_lookup --backend sqlite|pg [--small 10000] [--rows 1000000] [--lookups 2000]

#include "benchlib.h"

#include "filing/catchment.h"
#include "store/schema.h"

#include "filing/steps.h"
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

namespace {

const QStringList &columns() { return schema::applicationColumns(); }

// The kindergartens in turn, so that the table looks like a filled store.
QString kindergartenOf(qint64 i) {
  const auto quotas = quota::table();
  return QString::fromUtf8(quotas[std::size_t(i % qint64(quotas.size()))].kindergarten);
}

// The column values of child i as UTF-8 texts, in the order of columns():
// the application of a boy or a girl for the kindergarten, made once, with
// the child's own number.
std::vector<std::string> texts(qint64 i) {
  static std::map<std::pair<QString, bool>, std::vector<std::string>> made;
  static const int numberColumn = int(columns().indexOf(QStringLiteral("身份证号")));
  const QString number = bench::identity(i);
  const QString kindergarten = kindergartenOf(i);
  const bool boy = (number.mid(16, 1).toInt() % 2) != 0;
  auto found = made.find({kindergarten, boy});
  if (found == made.end()) {
    const QVariantMap values = bench::application(number, kindergarten);
    std::vector<std::string> out;
    for (const QString &column : columns()) {
      const QVariant value = values.value(column);
      out.push_back((value.typeId() == QMetaType::QDateTime
                         ? value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                         : value.toString())
                        .toStdString());
    }
    found = made.emplace(std::make_pair(kindergarten, boy), out).first;
  }
  std::vector<std::string> out = found->second;
  out[std::size_t(numberColumn)] = number.toStdString();
  return out;
}

[[noreturn]] void fail(const std::string &message) { throw StoreError(QString::fromStdString(message)); }

// ---------------------------------------------------------------------------
// The raw drivers: the statement prepared once, then bind, run, fetch every
// row and read the two columns as texts, as the query object does.

struct Found {
  std::string kindergarten;
  std::string grade;
  int rows = 0;
};

class RawSqlite {
public:
  explicit RawSqlite(const StoreLocation &where) {
    const QString file = where.file;
    if (sqlite3_open_v2(file.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
      fail(std::string("sqlite3_open_v2: ") + sqlite3_errmsg(m_db));
    sqlite3_busy_timeout(m_db, 10000);
    const QByteArray sql = Statement::compare(filing::kLookupHead, QString()).prepared().toUtf8();
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &m_lookup, nullptr) != SQLITE_OK)
      fail(std::string("prepare: ") + sqlite3_errmsg(m_db));
  }
  ~RawSqlite() {
    sqlite3_finalize(m_lookup);
    sqlite3_close(m_db);
  }
  Found lookup(const std::string &number) {
    Found found;
    sqlite3_bind_text(m_lookup, 1, number.data(), int(number.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(m_lookup)) == SQLITE_ROW) {
      if (found.rows++ == 0) {
        found.kindergarten = reinterpret_cast<const char *>(sqlite3_column_text(m_lookup, 3));
        found.grade = reinterpret_cast<const char *>(sqlite3_column_text(m_lookup, 4));
      }
    }
    if (rc != SQLITE_DONE)
      fail(std::string("step: ") + sqlite3_errmsg(m_db));
    sqlite3_reset(m_lookup);
    sqlite3_clear_bindings(m_lookup);
    return found;
  }
  // The plan SQLite chooses for the lookup.
  std::string plan(const std::string & = {}) {
    const QByteArray sql =
        (QStringLiteral("explain query plan ") + Statement::compare(filing::kLookupHead, QString()).prepared())
            .toUtf8();
    sqlite3_stmt *statement = nullptr;
    std::string text;
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW)
        text += reinterpret_cast<const char *>(sqlite3_column_text(statement, 3));
    }
    sqlite3_finalize(statement);
    return text;
  }
  // Appends children [from, to) in one transaction.
  void load(qint64 from, qint64 to) {
    QStringList marks;
    for (int i = 0; i < columns().size(); ++i)
      marks << QStringLiteral("?");
    const QByteArray sql = QStringLiteral("insert into lz_yjxxk (%1) values (%2)")
                               .arg(columns().join(QLatin1Char(',')), marks.join(QLatin1Char(',')))
                               .toUtf8();
    sqlite3_stmt *insert = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &insert, nullptr) != SQLITE_OK)
      fail(std::string("prepare insert: ") + sqlite3_errmsg(m_db));
    sqlite3_exec(m_db, "begin", nullptr, nullptr, nullptr);
    for (qint64 i = from; i < to; ++i) {
      const std::vector<std::string> values = texts(i);
      for (std::size_t c = 0; c < values.size(); ++c)
        sqlite3_bind_text(insert, int(c) + 1, values[c].data(), int(values[c].size()), SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) {
        const std::string message = sqlite3_errmsg(m_db);
        sqlite3_finalize(insert);
        sqlite3_exec(m_db, "rollback", nullptr, nullptr, nullptr);
        fail("insert: " + message);
      }
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    if (sqlite3_exec(m_db, "commit", nullptr, nullptr, nullptr) != SQLITE_OK)
      fail(std::string("commit: ") + sqlite3_errmsg(m_db));
    sqlite3_exec(m_db, "analyze", nullptr, nullptr, nullptr);
  }

private:
  sqlite3 *m_db = nullptr;
  sqlite3_stmt *m_lookup = nullptr;
};

class RawPostgres {
public:
  explicit RawPostgres(const StoreLocation &where) {
    const QByteArray info = QStringLiteral("host=%1 port=%2 dbname=%3 user=%4 password=%5 connect_timeout=10")
                                .arg(where.host)
                                .arg(where.port)
                                .arg(where.database, where.user, where.password)
                                .toUtf8();
    m_db = PQconnectdb(info.constData());
    if (PQstatus(m_db) != CONNECTION_OK)
      fail(std::string("PQconnectdb: ") + PQerrorMessage(m_db));
    PQsetClientEncoding(m_db, "UTF8");
    // The lookup statement with its value as $1.
    QString sql = Statement::compare(filing::kLookupHead, QString()).prepared();
    sql.replace(QLatin1Char('?'), QStringLiteral("$1"));
    PGresult *result = PQprepare(m_db, "lookup", sql.toUtf8().constData(), 1, nullptr);
    check(result, PGRES_COMMAND_OK, "PQprepare");
    PQclear(result);
  }
  ~RawPostgres() { PQfinish(m_db); }
  Found lookup(const std::string &number) {
    const char *values[] = {number.c_str()};
    PGresult *result = PQexecPrepared(m_db, "lookup", 1, values, nullptr, nullptr, 0);
    check(result, PGRES_TUPLES_OK, "PQexecPrepared");
    Found found;
    found.rows = PQntuples(result);
    if (found.rows > 0) {
      found.kindergarten = PQgetvalue(result, 0, 3);
      found.grade = PQgetvalue(result, 0, 4);
    }
    PQclear(result);
    return found;
  }
  std::string plan(const std::string &number) {
    const char *values[] = {number.c_str()};
    QString sql = QStringLiteral("explain ") + Statement::compare(filing::kLookupHead, QString()).prepared();
    sql.replace(QLatin1Char('?'), QStringLiteral("$1::varchar"));
    PGresult *result = PQexecParams(m_db, sql.toUtf8().constData(), 1, nullptr, values, nullptr, nullptr, 0);
    std::string text;
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
      for (int r = 0; r < PQntuples(result); ++r)
        text += std::string(r ? "; " : "") + PQgetvalue(result, r, 0);
    }
    PQclear(result);
    return text;
  }
  // Appends children [from, to) with one COPY.
  void load(qint64 from, qint64 to) {
    std::string sql = "copy lz_yjxxk (" + columns().join(QLatin1Char(',')).toStdString() + ") from stdin";
    PGresult *result = PQexec(m_db, sql.c_str());
    check(result, PGRES_COPY_IN, "copy");
    PQclear(result);
    std::string buffer;
    for (qint64 i = from; i < to; ++i) {
      const std::vector<std::string> values = texts(i);
      for (std::size_t c = 0; c < values.size(); ++c) {
        buffer += values[c]; // the generated texts hold no tab, newline or backslash
        buffer += c + 1 < values.size() ? '\t' : '\n';
      }
      if (buffer.size() > (1 << 20) || i + 1 == to) {
        if (PQputCopyData(m_db, buffer.data(), int(buffer.size())) != 1)
          fail(std::string("PQputCopyData: ") + PQerrorMessage(m_db));
        buffer.clear();
      }
    }
    if (PQputCopyEnd(m_db, nullptr) != 1)
      fail(std::string("PQputCopyEnd: ") + PQerrorMessage(m_db));
    result = PQgetResult(m_db);
    check(result, PGRES_COMMAND_OK, "copy end");
    PQclear(result);
    while ((result = PQgetResult(m_db)))
      PQclear(result);
    result = PQexec(m_db, "vacuum analyze lz_yjxxk");
    check(result, PGRES_COMMAND_OK, "vacuum analyze");
    PQclear(result);
  }

private:
  void check(PGresult *result, ExecStatusType wanted, const char *what) {
    if (PQresultStatus(result) != wanted) {
      const std::string message = std::string(what) + ": " + PQerrorMessage(m_db);
      PQclear(result);
      fail(message);
    }
  }
  PGconn *m_db = nullptr;
};

// ---------------------------------------------------------------------------

struct Round {
  bench::Summary query, raw;       // wall time (us)
  bench::Summary queryCpu, rawCpu; // this thread's CPU time (us)
  bool agree = true;
};

std::int64_t threadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The samples of one table size.
struct Samples {
  std::vector<double> query, raw;       // wall time (us)
  std::vector<double> queryCpu, rawCpu; // this thread's CPU time (us)
  bool agree = true;
  Round summary() const {
    Round round;
    round.query = bench::summarise(query);
    round.raw = bench::summarise(raw);
    round.queryCpu = bench::summarise(queryCpu);
    round.rawCpu = bench::summarise(rawCpu);
    round.agree = agree;
    return round;
  }
};

// One table size: its store, the query object on it, where its lookups are.
template <class Raw> struct Table {
  bench::Store store;
  qint64 rows = 0;
  std::unique_ptr<QueryObject> query;
  std::mt19937_64 random;
  Samples samples;
};

// One segment of lookups of random stored children: it opens new
// connections for the two ways (a server process may land on either core,
// which moves a loopback round trip by tens of microseconds), warms them up,
// then measures each lookup's time and this thread's CPU time, the two
// ways taking turns in which goes first.
template <class Raw> void measureSegment(Table<Raw> &table, int lookups) {
  constexpr int kWarmUp = 20;
  const QString lookupHead = filing::kLookupHead; // a constant in the main window
  std::uniform_int_distribution<qint64> pick(1, table.rows);
  QueryObject &query = *table.query;
  query.setLocation(table.store.location()); // closes and disconnects
  auto raw = std::make_unique<Raw>(table.store.location());
  Samples &into = table.samples;
  for (int n = 0; n < kWarmUp + lookups; ++n) {
    const qint64 i = pick(table.random);
    const QString number = bench::identity(i);
    const std::string text = number.toStdString();
    double us[2] = {0, 0};
    double cpu[2] = {0, 0};
    QString kindergarten, grade;
    Found found;
    auto timed = [&](int way, const std::function<void()> &lookup) {
      const std::int64_t cpuBegin = threadCpuNs();
      const std::int64_t begin = bench::nowNs();
      lookup();
      us[way] = double(bench::nowNs() - begin) / 1e3;
      cpu[way] = double(threadCpuNs() - cpuBegin) / 1e3;
    };
    const std::function<void()> ways[2] = {
        [&] {
          timed(0, [&] {
            query.close();
            query.setSql(Statement::compare(lookupHead, number));
            query.open();
            kindergarten = query.fieldAsString(QStringLiteral("申请幼儿园名称"));
            grade = query.fieldAsString(QStringLiteral("部别"));
          });
        },
        [&] { timed(1, [&] { found = raw->lookup(text); }); },
    };
    for (int k = 0; k < 2; ++k)
      ways[(n + k) % 2]();
    if (query.rowCount() != 1 || found.rows != 1 || kindergarten != kindergartenOf(i) ||
        QString::fromStdString(found.kindergarten) != kindergarten || QString::fromStdString(found.grade) != grade)
      into.agree = false;
    if (n < kWarmUp)
      continue;
    into.query.push_back(us[0]);
    into.raw.push_back(us[1]);
    into.queryCpu.push_back(cpu[0]);
    into.rawCpu.push_back(cpu[1]);
  }
}

// The small and the large table live in two stores, loaded first and then
// measured by turns, segment after segment, so that both sizes see the same
// machine: a loopback round trip on this machine moves by tens of
// microseconds with the load beside it.
template <class Raw>
void run(const QString &label, const std::function<bench::Store(const QString &)> &makeStore, qint64 small, qint64 rows,
         int lookups) {
  constexpr int kSegment = 200;
  bench::reportLoad(label);
  Table<Raw> tables[2] = {{makeStore(QStringLiteral("lookup-small.db")), small, {}, std::mt19937_64(small), {}},
                          {makeStore(QStringLiteral("lookup-large.db")), rows, {}, std::mt19937_64(rows), {}}};
  for (Table<Raw> &table : tables) {
    Raw loader(table.store.location());
    QElapsedTimer timer;
    timer.start();
    loader.load(1, table.rows + 1);
    const double loadSeconds = double(timer.nsecsElapsed()) / 1e9;
    std::fprintf(stderr, "%s: %lld rows loaded in %.1f s (%.0f rows/s); plan: %s\n", qPrintable(label),
                 (long long)(table.rows), loadSeconds, double(table.rows) / loadSeconds,
                 loader.plan(bench::identity(table.rows / 2).toStdString()).c_str());
    if (table.rows == rows)
      bench::row(label, QStringLiteral("bulk load of %1 rows (one transaction / COPY)").arg(rows),
                 QStringLiteral("%1 s").arg(bench::number(loadSeconds)));
    table.query = std::make_unique<QueryObject>(QStringLiteral("ADOTab"), 10, table.store.location());
  }
  for (int measured = 0; measured < lookups; measured += kSegment) {
    const int count = std::min(kSegment, lookups - measured);
    for (int t = 0; t < 2; ++t)
      measureSegment(tables[(measured / kSegment + t) % 2], count); // which size goes first alternates too
  }
  Round rounds[2];
  for (int t = 0; t < 2; ++t) {
    rounds[t] = tables[t].samples.summary();
    std::fprintf(stderr,
                 "%s, %lld rows: query object median %.1f us p99 %.1f us (CPU %.1f us); raw median %.1f us p99 "
                 "%.1f us (CPU %.1f us); %s\n",
                 qPrintable(label), (long long)(tables[t].rows), rounds[t].query.median, rounds[t].query.p99,
                 rounds[t].queryCpu.median, rounds[t].raw.median, rounds[t].raw.p99, rounds[t].rawCpu.median,
                 rounds[t].agree ? "same rows" : "RESULTS DIFFER");
  }
  const Round &big = rounds[1];
  const Round &little = rounds[0];
  const double ratio = big.query.median / big.raw.median;
  bench::row(label,
             QStringLiteral("lookup at %1 rows, median of %2: query object / raw (us)").arg(rows).arg(big.query.count),
             QStringLiteral("%1 / %2").arg(bench::number(big.query.median), bench::number(big.raw.median)));
  bench::row(label, QStringLiteral("  p99: query object / raw (us)"),
             QStringLiteral("%1 / %2").arg(bench::number(big.query.p99), bench::number(big.raw.p99)));
  bench::row(label, QStringLiteral("query object : raw driver"), bench::number(ratio, 2), QStringLiteral("<= 1.30"),
             bench::timedVerdict(ratio <= 1.3));
  bench::row(label, QStringLiteral("  client CPU per lookup (us): query object / raw"),
             QStringLiteral("%1 / %2").arg(bench::number(big.queryCpu.median), bench::number(big.rawCpu.median)));
  bench::row(label, QStringLiteral("lookup at %1 rows, median: query object / raw (us)").arg(small),
             QStringLiteral("%1 / %2").arg(bench::number(little.query.median), bench::number(little.raw.median)));
  const double growth = big.query.median / little.query.median;
  const double rawGrowth = big.raw.median / little.raw.median;
  bench::row(label, QStringLiteral("%1 rows : %2 rows, query object (raw), measured by turns").arg(rows).arg(small),
             QStringLiteral("%1 (%2)").arg(bench::number(growth, 2), bench::number(rawGrowth, 2)),
             QStringLiteral("<= 1.50"), bench::timedVerdict(growth <= 1.5));
  bench::row(label, QStringLiteral("both ways found the same rows"),
             big.agree && little.agree ? QStringLiteral("yes") : QStringLiteral("no"), QStringLiteral("yes"),
             bench::verdict(big.agree && little.agree));
}

} // namespace

int main(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  QCommandLineParser options;
  options.setApplicationDescription(QStringLiteral("The lookup at scale: query object against the raw driver."));
  options.addHelpOption();
  options.addOptions({
      {QStringLiteral("backend"), QStringLiteral("sqlite or pg"), QStringLiteral("name"), QStringLiteral("sqlite")},
      {QStringLiteral("server"), QStringLiteral("PostgreSQL server (default $KG_TEST_PG)"), QStringLiteral("url")},
      {QStringLiteral("dir"), QStringLiteral("folder of the SQLite store"), QStringLiteral("path")},
      {QStringLiteral("small"), QStringLiteral("rows of the small table"), QStringLiteral("n"),
       QStringLiteral("10000")},
      {QStringLiteral("rows"), QStringLiteral("rows of the large table"), QStringLiteral("n"),
       QStringLiteral("1000000")},
      {QStringLiteral("lookups"), QStringLiteral("lookups measured per table size"), QStringLiteral("n"),
       QStringLiteral("2000")},
  });
  options.process(app);
  const bool pg = options.value(QStringLiteral("backend")) == QLatin1String("pg");
  const qint64 small = options.value(QStringLiteral("small")).toLongLong();
  const qint64 rows = options.value(QStringLiteral("rows")).toLongLong();
  const int lookups = options.value(QStringLiteral("lookups")).toInt();
  if (small < 1 || rows <= small || lookups < 1) {
    std::fprintf(stderr, "need 0 < --small < --rows and --lookups > 0\n");
    return 2;
  }
  try {
    if (pg) {
      const QString server = options.isSet(QStringLiteral("server")) ? options.value(QStringLiteral("server"))
                                                                     : qEnvironmentVariable("KG_TEST_PG");
      if (server.isEmpty()) {
        std::fprintf(stderr, "no PostgreSQL server: give --server or set KG_TEST_PG\n");
        return 2;
      }
      run<RawPostgres>(
          QStringLiteral("lookup PostgreSQL"), [&](const QString &) { return bench::postgresStore(server); }, small,
          rows, lookups);
    } else {
      QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/kgbench-lookup-XXXXXX"));
      const QString folder =
          options.isSet(QStringLiteral("dir")) ? options.value(QStringLiteral("dir")) : scratch.path();
      QDir().mkpath(folder);
      run<RawSqlite>(
          QStringLiteral("lookup SQLite"), [&](const QString &name) { return bench::sqliteStore(folder, name); }, small,
          rows, lookups);
      QFile::remove(folder + QStringLiteral("/lookup-small.db"));
      QFile::remove(folder + QStringLiteral("/lookup-large.db"));
    }
  } catch (const std::exception &error) {
    std::fprintf(stderr, "kgbench_lookup: %s\n", error.what());
    return 1;
  }
  return 0;
}
