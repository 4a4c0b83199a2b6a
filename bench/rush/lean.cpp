// The lean client's worker: the rush's filings with libpq alone.

#include "rush/rush.h"

#include "filing/catchment.h"
#include "store/schema.h"

#include "filing/steps.h"
#include <libpq-fe.h>

#include <array>
#include <cstdio>
#include <memory>

namespace rush {

namespace {

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
    auto compared = [](const QString &head) { return head.chopped(1).toUtf8() + "$1"; };
    switch (which) {
    case Lookup: return compared(filing::kLookupHead);
    case Quota: return compared(filing::kQuotaHead);
    case Duplicate: return compared(filing::kDuplicateHead);
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

} // namespace

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

} // namespace rush
