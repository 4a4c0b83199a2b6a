#include "store/postgres/backend.h"

#include "platform/socketwait.h"
#include "store/records.h"
#include "store/schema.h"

#include <QRandomGenerator>
#include <QThread>
#include <QVarLengthArray>
#include <libpq-fe.h>

namespace {

// How a result column is read, by its type.
ResultRow::Kind kindOf(Oid type) {
  switch (type) {
  case 16: return ResultRow::Kind::Bool;     // bool
  case 20: return ResultRow::Kind::LongLong; // int8
  case 21:
  case 23:
  case 26:
  case 24:
  case 28:
  case 29: return ResultRow::Kind::Int; // int2 int4 oid regproc xid cid
  case 700:
  case 701:
  case 1700: return ResultRow::Kind::Double; // float4 float8 numeric
  case 702:
  case 703:
  case 1082: return ResultRow::Kind::Date; // abstime reltime date
  case 1083:
  case 1266: return ResultRow::Kind::Time; // time timetz
  case 1114:
  case 1184: return ResultRow::Kind::Stamp; // timestamp timestamptz
  default: return ResultRow::Kind::Text;
  }
}

constexpr Oid kBytea = 17;

// The statement with its ? marks (outside quoted texts and names) numbered
// $1, $2, ... as PostgreSQL takes them.
QByteArray numberedMarks(const QString &text) {
  QString out;
  out.reserve(text.size() + 16);
  int marks = 0;
  QChar quote;
  for (const QChar c : text) {
    if (!quote.isNull()) {
      if (c == quote)
        quote = QChar();
    } else if (c == u'\'' || c == u'"') {
      quote = c;
    } else if (c == u'?') {
      out += QLatin1Char('$') + QString::number(++marks);
      continue;
    }
    out += c;
  }
  return out.toUtf8();
}

using ResultHolder = std::unique_ptr<PGresult, decltype(&PQclear)>;

} // namespace

PostgresBackend::PostgresBackend(const StoreLocation &location, int timeoutSeconds)
    : StoreBackend(location, timeoutSeconds), m_connectSeconds(location.loginTimeout) {}

PostgresBackend::~PostgresBackend() { disconnect(); }

QString PostgresBackend::error(const pg_result *result) const {
  QString text = QString::fromUtf8(result ? PQresultErrorMessage(result) : PQerrorMessage(m_connection)).trimmed();
  if (text.isEmpty())
    text = QString::fromUtf8(PQerrorMessage(m_connection)).trimmed();
  if (text.isEmpty())
    text = QStringLiteral("the server gave no answer");
  if (const char *state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr)
    text += QStringLiteral(" [%1]").arg(QString::fromLatin1(state));
  return text;
}

void PostgresBackend::connect() {
  if (m_connection)
    return;
  // Several servers are tried in turn (libpq's host and port lists), and
  // the session is taken only on the one that target_session_attrs asks for:
  // after a failover, whichever is the primary now.
  QByteArray host = m_location.host.toUtf8();
  QByteArray port = QByteArray::number(m_location.port > 0 ? m_location.port : 5432);
  for (const StoreLocation::Server &server : m_location.alternates) {
    host += ',' + server.host.toUtf8();
    port += ',' + QByteArray::number(server.port);
  }
  const QByteArray sessionAttributes = m_location.targetSessionAttrs.toUtf8();
  const QByteArray database = m_location.database.toUtf8();
  const QByteArray user = m_location.user.toUtf8();
  const QByteArray password = m_location.password.toUtf8();
  const QByteArray connectTimeout = QByteArray::number(qMax(1, m_connectSeconds));
  // The server gives up a statement after the time limit; dates come as ISO
  // text. A statement is planned once on the connection, not again at each
  // of its first five runs: every statement of the windows, and each one in
  // kg_append, compares indexed columns with values, and its plan does not
  // depend on them. What the statements rely on is set here too, since
  // settings sent at connecting stand above the defaults a login may give
  // itself (ALTER ROLE ... SET): the tables' schema, a transaction that may
  // write, the isolation and the durability of a commit. The server probes a
  // connection that has gone quiet, so that a session whose client is gone
  // ends within seconds.
  const QByteArray options = "-c statement_timeout=" + QByteArray::number(m_timeout * 1000) +
                             " -c DateStyle=ISO -c plan_cache_mode=force_generic_plan -c search_path=public"
                             " -c default_transaction_read_only=off"
                             " -c default_transaction_isolation=read\\ committed -c synchronous_commit=on"
                             " -c tcp_keepalives_idle=10 -c tcp_keepalives_interval=2 -c tcp_keepalives_count=3";
  // A name of this connection's own, so that the session can be told from a
  // later one that the server gives the same process number.
  const QByteArray name = "kgfiling-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
  const char *keys[] = {"host",
                        "port",
                        "dbname",
                        "user",
                        "password",
                        "connect_timeout",
                        "options",
                        "client_encoding",
                        "application_name",
                        sessionAttributes.isEmpty() ? nullptr : "target_session_attrs",
                        nullptr};
  const char *values[] = {host.constData(),
                          port.constData(),
                          database.constData(),
                          user.constData(),
                          password.constData(),
                          connectTimeout.constData(),
                          options.constData(),
                          "UTF8",
                          name.constData(),
                          sessionAttributes.constData(),
                          nullptr};
  PGconn *connection = PQconnectdbParams(keys, values, 0);
  if (!connection || PQstatus(connection) != CONNECTION_OK) {
    const QString failure =
        connection ? QString::fromUtf8(PQerrorMessage(connection)).trimmed() : QStringLiteral("out of memory");
    PQfinish(connection);
    throw StoreError(QStringLiteral("Cannot connect to the store (%1): %2").arg(m_location.describe(), failure));
  }
  // Warnings (as for ending a session that is gone already) are not printed.
  PQsetNoticeProcessor(
      connection, [](void *, const char *) {}, nullptr);
  m_connection = connection;
  m_session = Session{PQbackendPID(connection), name};
}

void PostgresBackend::reset() {
  // Closed with a reset, not the orderly end: what the client has sent and
  // the server has not taken yet is dropped, instead of reaching the server
  // whenever the network lets it through.
  if (m_connection) {
    const int socket = PQsocket(m_connection);
    if (socket >= 0)
      socketwait::resetOnClose(socket);
  }
  disconnect();
}

void PostgresBackend::disconnect() {
  m_lastPrepared = nullptr;
  m_prepared.clear();
  if (m_connection)
    PQfinish(m_connection); // the server rolls back what is open
  m_connection = nullptr;
}

bool PostgresBackend::lostWhileIdle() {
  for (int reads = 0; reads < 4; ++reads) {
    if (socketwait::readable(PQsocket(m_connection), 0) != socketwait::Wait::Readable)
      break; // nothing waiting
    if (!PQconsumeInput(m_connection))
      return true; // the end of the connection
  }
  return PQstatus(m_connection) != CONNECTION_OK;
}

bool PostgresBackend::connectionLost() { return !m_connection || PQstatus(m_connection) != CONNECTION_OK; }

PostgresBackend::Prepared *PostgresBackend::prepared(const QString &text) {
  if (m_lastPrepared && m_lastText == text)
    return m_lastPrepared;
  const auto found = m_prepared.find(text);
  if (found == m_prepared.end())
    return nullptr;
  m_lastPrepared = found->second.get();
  m_lastText = text;
  return m_lastPrepared;
}

PGresult *PostgresBackend::next(const QString &text) {
  while (PQisBusy(m_connection)) {
    if (socketwait::readable(PQsocket(m_connection), int(m_deadline.remainingTime())) == socketwait::Wait::TimedOut)
      giveUp(text);
    if (!PQconsumeInput(m_connection))
      break; // the link is gone: the next result tells
  }
  return PQgetResult(m_connection);
}

PGresult *PostgresBackend::answer(const QString &text) {
  PGresult *first = nullptr;
  for (;;) {
    PGresult *result = nullptr;
    try {
      result = next(text);
    } catch (...) {
      PQclear(first);
      throw;
    }
    if (!result)
      return first;
    if (first)
      PQclear(result);
    else
      first = result;
  }
}

PGresult *PostgresBackend::prepareAndRun(const QString &text, int count, const char *const *values, const int *lengths,
                                         const int *formats) {
  // A statement the connection has not seen is prepared and run in one
  // request: Parse, Bind, Execute and Sync go together in libpq's pipeline,
  // so a fresh connection's first statements cost one round trip each, as
  // the kept ones do.
  auto fresh = std::make_unique<Prepared>();
  fresh->name = "kg_" + QByteArray::number(++m_statements);
  if (!PQenterPipelineMode(m_connection) ||
      !PQsendPrepare(m_connection, fresh->name.constData(), numberedMarks(text).constData(), 0, nullptr) ||
      !PQsendQueryPrepared(m_connection, fresh->name.constData(), count, values, lengths, formats, 0) ||
      !PQpipelineSync(m_connection)) {
    const QString failure = error(nullptr);
    disconnect();
    throw StoreError(QStringLiteral("%1: %2").arg(failure, text));
  }
  // The answers come in order: the Parse's, the Execute's (each ended by no
  // result), then the Sync's.
  ResultHolder parsed(nullptr, &PQclear);
  ResultHolder ran(nullptr, &PQclear);
  int ended = 0;
  for (;;) {
    PGresult *result = next(text);
    if (!result) {
      if (PQstatus(m_connection) == CONNECTION_BAD)
        break; // the link is gone: nothing more comes
      ++ended;
      continue;
    }
    if (PQresultStatus(result) == PGRES_PIPELINE_SYNC) {
      PQclear(result);
      break;
    }
    ResultHolder &slot = ended == 0 ? parsed : ran;
    if (slot)
      PQclear(result);
    else
      slot.reset(result);
    if (PQstatus(m_connection) == CONNECTION_BAD)
      break;
  }
  if (PQstatus(m_connection) == CONNECTION_OK)
    PQexitPipelineMode(m_connection);
  if (!parsed || PQresultStatus(parsed.get()) != PGRES_COMMAND_OK)
    throw StoreError(QStringLiteral("%1: %2").arg(error(parsed.get()), text));
  m_prepared.emplace(text, std::move(fresh));
  return ran.release();
}

void PostgresBackend::giveUp(const QString &text) {
  // The server has ended the statement itself at the time limit
  // (statement_timeout), or will as soon as it runs again; a server or a
  // network gone silent is not waited for any longer.
  reset();
  throw StoreError(QStringLiteral("The store did not answer within %1 s: %2").arg(m_timeout).arg(text));
}

int PostgresBackend::execute(const QString &text, const QVariantList &values, Result *result) {
  // The server gives the statement up at the time limit itself and answers;
  // the client waits half a second longer for that answer, then gives up on
  // a server or network gone silent.
  m_deadline = QDeadlineTimer(m_timeout * 1000 + 500);
  if (m_bound.deadline() < m_deadline.deadline())
    m_deadline = m_bound;
  Prepared *statement = prepared(text);
  const int count = int(values.size());
  QVarLengthArray<QByteArray, 24> texts(count);
  QVarLengthArray<const char *, 24> pointers(count);
  QVarLengthArray<int, 24> lengths(count);
  QVarLengthArray<int, 24> formats(count);
  for (int i = 0; i < count; ++i) {
    pointers[i] = nullptr;
    lengths[i] = 0;
    formats[i] = 0; // text
    const QVariant &value = values.at(i);
    if (backend::boundAsNull(value))
      continue;
    switch (value.typeId()) {
    case QMetaType::Bool: texts[i] = value.toBool() ? QByteArrayLiteral("t") : QByteArrayLiteral("f"); break;
    case QMetaType::QByteArray:
      texts[i] = value.toByteArray();
      formats[i] = 1; // bytes as they are
      break;
    default: texts[i] = backend::wallClockText(value).toUtf8(); break;
    }
    pointers[i] = texts[i].constData();
    lengths[i] = int(texts[i].size());
  }
  ResultHolder done(nullptr, &PQclear);
  if (statement) {
    if (!PQsendQueryPrepared(m_connection, statement->name.constData(), count, pointers.data(), lengths.data(),
                             formats.data(), 0))
      throw StoreError(QStringLiteral("%1: %2").arg(error(nullptr), text));
    done.reset(answer(text));
  } else {
    done.reset(prepareAndRun(text, count, pointers.data(), lengths.data(), formats.data()));
    statement = prepared(text);
  }
  const ExecStatusType status = done ? PQresultStatus(done.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    const char *state = done ? PQresultErrorField(done.get(), PG_DIAG_SQLSTATE) : nullptr;
    // A kept statement whose table was replaced since ("cached plan must not
    // change result type"): prepare it afresh.
    if (statement->described && state && qstrcmp(state, "0A000") == 0) {
      const QByteArray forget = "deallocate " + statement->name;
      if (PQsendQuery(m_connection, forget.constData()))
        PQclear(answer(text));
      m_lastPrepared = nullptr;
      m_prepared.erase(text);
      return execute(text, values, result);
    }
    throw StoreError(QStringLiteral("%1: %2").arg(error(done.get()), text));
  }
  if (!result)
    return QByteArrayView(PQcmdTuples(done.get())).toInt();
  PGresult *rows = done.get();
  const int fields = PQnfields(rows);
  if (!statement->described || fields != statement->columns.size()) {
    statement->columns.clear();
    statement->kinds.clear();
    statement->bytea.clear();
    for (int i = 0; i < fields; ++i) {
      statement->columns << QString::fromUtf8(PQfname(rows, i));
      statement->kinds << kindOf(PQftype(rows, i));
      statement->bytea << (PQftype(rows, i) == kBytea);
    }
    statement->described = true;
  }
  result->columns = statement->columns;
  result->rows.clear();
  const int count_ = PQntuples(rows);
  result->rows.reserve(count_);
  for (int r = 0; r < count_; ++r) {
    ResultRow row;
    int total = 0;
    for (int i = 0; i < fields; ++i)
      total += PQgetlength(rows, r, i);
    row.reserve(fields, total);
    for (int i = 0; i < fields; ++i) {
      if (PQgetisnull(rows, r, i)) {
        row.addNull();
      } else if (statement->bytea.at(i)) {
        size_t length = 0;
        unsigned char *raw = PQunescapeBytea(reinterpret_cast<const unsigned char *>(PQgetvalue(rows, r, i)), &length);
        row.addBlob(reinterpret_cast<const char *>(raw), raw ? int(length) : 0);
        PQfreemem(raw);
      } else {
        row.addText(PQgetvalue(rows, r, i), PQgetlength(rows, r, i), statement->kinds.at(i));
      }
    }
    result->rows << std::move(row);
  }
  return 0;
}

void PostgresBackend::append(const NewRow &row, const AppendGuard &guard) {
  const QVariantList arguments = backend::appendArguments(row, guard);
  const NewRow sent{row.table, schema::applicationColumns(), arguments};
  static const QString call = [] {
    QStringList marks;
    for (qsizetype i = 0; i < schema::applicationColumns().size(); ++i)
      marks << QStringLiteral("?");
    return QStringLiteral("select kg_append(%1)").arg(marks.join(QStringLiteral(", ")));
  }();
  // One request: the server takes the locks, re-checks, inserts and commits
  // before it answers, so no lock is held across the network.
  Result outcome;
  Session sending;
  try {
    // A kept connection the server has ended meanwhile (a restart, a
    // terminated session) has its last message and its end waiting on the
    // socket: reading what is there tells, without a round trip, so that the
    // append is only sent on a live link. (A select sent on such a
    // connection fails and runs once more on a new one.)
    if (m_connection && lostWhileIdle())
      disconnect();
    connect();
    sending = m_session;
    execute(call, arguments, &outcome);
  } catch (const StoreError &) {
    // Sent, and then the link went or the time limit passed: the server may
    // have stored the row. What it holds is read on a new connection before
    // anyone is told. Not sent (no connection), or refused on a live link:
    // nothing was stored.
    const bool unknown = sending.pid != 0 && (!connected() || connectionLost());
    reset();
    if (unknown && storedAfterAll(sent, sending))
      return;
    throw;
  }
  refuseUnlessStored(outcome.rows.isEmpty() ? -1 : outcome.rows.first().value(0).toInt(), sent);
}

bool PostgresBackend::storedAfterAll(const NewRow &sent, const Session &old) {
  // What the store holds counts only once the session the append was sent
  // on has ended: until then it may still be running the append, or still
  // get it from the network. No session is ended for it (a process number
  // may since belong to another guardian's session): the old session ends by
  // the server's own time limit (statement_timeout), by the reset that
  // closed it, or by the server's probes of a quiet connection. The name
  // given at connecting tells it from a later session with the same process
  // number. The store is asked again and again for the command's time limit;
  // after that, the outcome is unknown and the append fails.
  m_bound = QDeadlineTimer(m_timeout * 1000);
  const int connectSeconds = m_connectSeconds;
  m_connectSeconds = 2; // libpq's least
  bool stored = false;
  for (;;) {
    try {
      connect();
      Result alive;
      for (;;) {
        execute(QStringLiteral("select count(*) from pg_stat_activity where pid = ? and application_name = ?"),
                {old.pid, QString::fromLatin1(old.name)}, &alive);
        if (!alive.rows.isEmpty() && alive.rows.first().value(0).toInt() == 0)
          break;
        if (m_bound.hasExpired())
          throw StoreError(QStringLiteral("The session of the append is still running"));
        QThread::msleep(100);
      }
      stored = readBack(sent);
      break;
    } catch (const StoreError &) {
      reset();
      if (m_bound.hasExpired())
        break;
      QThread::msleep(200);
    }
  }
  m_bound = QDeadlineTimer(QDeadlineTimer::Forever);
  m_connectSeconds = connectSeconds;
  return stored;
}
