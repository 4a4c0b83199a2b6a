#include "store/backend_postgres.h"

#include "store/records.h"
#include "store/schema.h"

#include <QVarLengthArray>
#include <cerrno>
#include <libpq-fe.h>
#include <poll.h>
#include <thread>

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
  // depend on them.
  const QByteArray options = "-c statement_timeout=" + QByteArray::number(m_timeout * 1000) +
                             " -c DateStyle=ISO -c plan_cache_mode=force_generic_plan";
  const char *keys[] = {"host",
                        "port",
                        "dbname",
                        "user",
                        "password",
                        "connect_timeout",
                        "options",
                        "client_encoding",
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
  m_session = PQbackendPID(connection);
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
    pollfd socket{PQsocket(m_connection), POLLIN, 0};
    if (::poll(&socket, 1, 0) <= 0)
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
    pollfd socket{PQsocket(m_connection), POLLIN, 0};
    const int ready = ::poll(&socket, 1, int(m_deadline.remainingTime()));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready == 0)
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
  // The server is told to stop the statement, without waiting for it to
  // take the request: a server that went silent would hold the window.
  if (PGcancel *cancel = PQgetCancel(m_connection)) {
    std::thread([cancel] {
      char message[256];
      PQcancel(cancel, message, sizeof message);
      PQfreeCancel(cancel);
    }).detach();
  }
  disconnect();
  throw StoreError(QStringLiteral("The store did not answer within %1 s: %2").arg(m_timeout).arg(text));
}

int PostgresBackend::execute(const QString &text, const QVariantList &values, Result *result) {
  // The server gives the statement up at the time limit itself and answers;
  // the client waits half a second longer for that answer, then gives up on
  // a server or network gone silent.
  m_deadline = QDeadlineTimer(m_timeout * 1000 + 500);
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
  static const QString call = [] {
    QStringList marks;
    for (qsizetype i = 0; i < schema::applicationColumns().size() + 2; ++i)
      marks << QStringLiteral("?");
    return QStringLiteral("select kg_append(%1)").arg(marks.join(QStringLiteral(", ")));
  }();
  // One request: the server takes the locks, re-checks, inserts and commits
  // before it answers, so no lock is held across the network.
  Result outcome;
  try {
    // A kept connection the server has ended meanwhile (a restart, a
    // terminated session) has its last message and its end waiting on the
    // socket: reading what is there tells, without a round trip, so that the
    // append is only sent on a live link. (A select sent on such a
    // connection fails and runs once more on a new one.)
    if (m_connection && lostWhileIdle())
      disconnect();
    connect();
    execute(call, arguments, &outcome);
  } catch (const StoreError &) {
    // The link went, or the time limit passed, while the outcome is unknown:
    // the server may have stored the row before. What it holds is read on a
    // new connection before anyone is told.
    const bool unknown = !connected() || connectionLost();
    const int session = m_session;
    disconnect();
    if (unknown && storedAfterAll(row, session))
      return;
    throw;
  }
  refuseUnlessStored(outcome.rows.isEmpty() ? -1 : outcome.rows.first().value(0).toInt(), row);
}

bool PostgresBackend::storedAfterAll(const NewRow &row, int session) {
  // Reached quickly or not at all: the guardian waited the time limit already.
  m_connectSeconds = 2;
  try {
    connect();
    m_connectSeconds = m_location.loginTimeout;
    // The old session may still be running the append on a server that was
    // silent: it is ended first (a login may end its own sessions), so that
    // what is read is final.
    Result ended;
    try {
      execute(QStringLiteral("select pg_terminate_backend(?, 5000)"), {session}, &ended);
    } catch (const StoreError &) {
      if (!connected() || connectionLost())
        throw;
    }
    return readBack(row);
  } catch (const StoreError &) {
    m_connectSeconds = m_location.loginTimeout;
    disconnect();
    return false;
  }
}

QString PostgresBackend::appendFunction() {
  // Run with its owner's rights: the client's login needs neither an insert
  // right nor the advisory locks. The appends of one kindergarten (and of one
  // identity number) wait for each other on transaction-scoped advisory
  // locks, always quota first, then identity, so two appends never wait on
  // each other in a circle; other kindergartens go on in parallel.
  QStringList parameters{QStringLiteral("p_capacity integer"), QStringLiteral("p_unique boolean")};
  QStringList values;
  for (const QString &column : schema::applicationColumns()) {
    const bool stamp = column == QStringLiteral("填报日期");
    parameters << QStringLiteral("p_%1 %2").arg(column,
                                                stamp ? QStringLiteral("timestamp") : QStringLiteral("varchar"));
    values << QStringLiteral("p_") + column;
  }
  return QStringLiteral(
             "create or replace function kg_append(%1) returns integer language plpgsql security definer "
             "set search_path = public, pg_temp as $$\n"
             "begin\n"
             "  if p_capacity >= 0 then\n"
             "    perform pg_advisory_xact_lock(1, hashtext('申请幼儿园名称=' || coalesce(p_申请幼儿园名称, '')));\n"
             "  end if;\n"
             "  if p_unique then\n"
             "    perform pg_advisory_xact_lock(2, hashtext('身份证号=' || coalesce(p_身份证号, '')));\n"
             "  end if;\n"
             "  if p_capacity >= 0 and\n"
             "     (select count(*) from lz_yjxxk where 申请幼儿园名称 = p_申请幼儿园名称) >= p_capacity then\n"
             "    return %4;\n"
             "  end if;\n"
             "  if p_unique and exists (select 1 from lz_yjxxk where 身份证号 = p_身份证号) then\n"
             "    return %5;\n"
             "  end if;\n"
             "  insert into lz_yjxxk (%2) values (%3) on conflict (身份证号) do nothing;\n"
             "  if not found then\n"
             "    return %5;\n"
             "  end if;\n"
             "  return %6;\n"
             "end $$")
      .arg(parameters.join(QStringLiteral(", ")), schema::applicationColumns().join(QStringLiteral(", ")),
           values.join(QStringLiteral(", ")))
      .arg(kQuotaFull)
      .arg(kDuplicate)
      .arg(kStored);
}

QStringList PostgresBackend::createStatements() {
  return {QStringLiteral("create table lz_kttb (幼儿园填报 boolean, 幼儿园版本 varchar(20))"),
          QStringLiteral("create table lz_yjxxk (%1)")
              .arg(schema::applicationColumnsSql(QStringLiteral("varchar"), QStringLiteral("timestamp(0)"))),
          QStringLiteral("create table lz_xzcz (村或社区 varchar(40), 组数 integer)"),
          QStringLiteral("create or replace function getdate() returns timestamp language sql stable as "
                         "$$ select localtimestamp(3)::timestamp $$"),
          QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
          QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)"), appendFunction(),
          // Only the logins granted it (kgadmin create-login) may append.
          QStringLiteral("revoke all on function kg_append from public")};
}

QStringList PostgresBackend::dropStatements() {
  return {QStringLiteral("drop table if exists lz_kttb"), QStringLiteral("drop table if exists lz_yjxxk"),
          QStringLiteral("drop table if exists lz_xzcz"), QStringLiteral("drop function if exists getdate()"),
          QStringLiteral("drop function if exists kg_append")};
}

// The recording time and the record of changes.

QStringList PostgresBackend::recordStatements() {
  return {
      // Added without a default first, so that the rows already stored keep
      // an unknown time instead of the time of the upgrade.
      QStringLiteral("alter table lz_yjxxk add column 记录时间 timestamp(3)"),
      // The time of the insert itself, not of its transaction's start: a
      // filing that waited for its kindergarten's lock is recorded after the
      // one it waited for.
      QStringLiteral("alter table lz_yjxxk alter column 记录时间 set default (clock_timestamp()::timestamp(3))"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      schema::auditTableSql(QStringLiteral("bigserial"), QStringLiteral("timestamp(3)"),
                            QStringLiteral(" default (clock_timestamp()::timestamp(3))"), QStringLiteral("varchar"),
                            QStringLiteral("text")),
      // Runs with its owner's rights, so that whoever may change a row is
      // recorded without a right on lz_xgjl of their own.
      QStringLiteral(
          "create or replace function kg_record_change() returns trigger language plpgsql security definer "
          "set search_path = public as $$\n"
          "declare\n"
          "  columns text;\n"
          "  before jsonb;\n"
          "  after jsonb;\n"
          "begin\n"
          "  if tg_op = 'UPDATE' then\n"
          "    select string_agg(o.key, ','), jsonb_object_agg(o.key, o.value), "
          "jsonb_object_agg(o.key, to_jsonb(new) -> o.key)\n"
          "      into columns, before, after\n"
          "      from jsonb_each(to_jsonb(old)) o where o.value is distinct from to_jsonb(new) -> o.key;\n"
          "    if columns is null then\n"
          "      return null;\n"
          "    end if;\n"
          "  else\n"
          "    columns := '*';\n"
          "    before := to_jsonb(old);\n"
          "  end if;\n"
          "  insert into lz_xgjl (操作人, 操作, 身份证号, 列名, 原值, 新值, 原因) values (\n"
          "    coalesce(nullif(current_setting('kg.who', true), ''), session_user),\n"
          "    coalesce(nullif(current_setting('kg.operation', true), ''),\n"
          "             case when tg_op = 'UPDATE' then '修改' else '删除' end),\n"
          "    old.身份证号, columns, before::text, after::text, nullif(current_setting('kg.reason', true), ''));\n"
          "  return null;\n"
          "end $$"),
      QStringLiteral("create trigger tr_lz_yjxxk_change after update or delete on lz_yjxxk for each row "
                     "execute function kg_record_change()"),
  };
}

QStringList PostgresBackend::dropRecordStatements() {
  return {QStringLiteral("drop table if exists lz_xgjl"),
          QStringLiteral("drop function if exists kg_record_change() cascade")};
}

// Settings local to the transaction: they end with it.
QStringList PostgresBackend::auditContextStatements() {
  return {QStringLiteral("select set_config('kg.who', ?, true), set_config('kg.operation', ?, true), "
                         "set_config('kg.reason', ?, true)")};
}

QStringList PostgresBackend::clearAuditContextStatements() { return {}; }
