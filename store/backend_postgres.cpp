#include "store/backend_postgres.h"

#include "store/records.h"
#include "store/schema.h"

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
    : StoreBackend(location, timeoutSeconds) {}

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
  const QByteArray host = m_location.host.toUtf8();
  const QByteArray port = QByteArray::number(m_location.port > 0 ? m_location.port : 5432);
  const QByteArray database = m_location.database.toUtf8();
  const QByteArray user = m_location.user.toUtf8();
  const QByteArray password = m_location.password.toUtf8();
  const QByteArray connectTimeout = QByteArray::number(qMax(1, m_location.loginTimeout));
  // The server gives up a statement after the time limit; dates come as ISO text.
  const QByteArray options = "-c statement_timeout=" + QByteArray::number(m_timeout * 1000) + " -c DateStyle=ISO";
  const char *keys[] = {"host", "port", "dbname", "user", "password", "connect_timeout", "options", "client_encoding",
                        nullptr};
  const char *values[] = {host.constData(),
                          port.constData(),
                          database.constData(),
                          user.constData(),
                          password.constData(),
                          connectTimeout.constData(),
                          options.constData(),
                          "UTF8",
                          nullptr};
  PGconn *connection = PQconnectdbParams(keys, values, 0);
  if (!connection || PQstatus(connection) != CONNECTION_OK) {
    const QString failure =
        connection ? QString::fromUtf8(PQerrorMessage(connection)).trimmed() : QStringLiteral("out of memory");
    PQfinish(connection);
    throw StoreError(QStringLiteral("Cannot connect to the store (%1): %2").arg(m_location.describe(), failure));
  }
  m_connection = connection;
}

void PostgresBackend::disconnect() {
  m_lastPrepared = nullptr;
  m_prepared.clear();
  if (m_connection)
    PQfinish(m_connection); // the server rolls back what is open
  m_connection = nullptr;
  m_inTransaction = false;
}

bool PostgresBackend::connectionLost() { return !m_connection || PQstatus(m_connection) != CONNECTION_OK; }

PostgresBackend::Prepared &PostgresBackend::prepared(const QString &text) {
  if (m_lastPrepared && m_lastText == text)
    return *m_lastPrepared;
  auto found = m_prepared.find(text);
  if (found == m_prepared.end()) {
    auto statement = std::make_unique<Prepared>();
    statement->name = "kg_" + QByteArray::number(++m_statements);
    const ResultHolder done(
        PQprepare(m_connection, statement->name.constData(), numberedMarks(text).constData(), 0, nullptr), &PQclear);
    if (!done || PQresultStatus(done.get()) != PGRES_COMMAND_OK)
      throw StoreError(QStringLiteral("%1: %2").arg(error(done.get()), text));
    found = m_prepared.emplace(text, std::move(statement)).first;
  }
  m_lastPrepared = found->second.get();
  m_lastText = text;
  return *m_lastPrepared;
}

int PostgresBackend::execute(const QString &text, const QVariantList &values, Result *result) {
  Prepared &statement = prepared(text);
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
  const ResultHolder done(PQexecPrepared(m_connection, statement.name.constData(), count, pointers.data(),
                                         lengths.data(), formats.data(), 0),
                          &PQclear);
  const ExecStatusType status = done ? PQresultStatus(done.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    const char *state = done ? PQresultErrorField(done.get(), PG_DIAG_SQLSTATE) : nullptr;
    // A kept statement whose table was replaced since ("cached plan must not
    // change result type"): prepare it afresh.
    if (statement.described && state && qstrcmp(state, "0A000") == 0) {
      const QByteArray forget = "deallocate " + statement.name;
      PQclear(PQexec(m_connection, forget.constData()));
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
  if (!statement.described || fields != statement.columns.size()) {
    statement.columns.clear();
    statement.kinds.clear();
    statement.bytea.clear();
    for (int i = 0; i < fields; ++i) {
      statement.columns << QString::fromUtf8(PQfname(rows, i));
      statement.kinds << kindOf(PQftype(rows, i));
      statement.bytea << (PQftype(rows, i) == kBytea);
    }
    statement.described = true;
  }
  result->columns = statement.columns;
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
      } else if (statement.bytea.at(i)) {
        size_t length = 0;
        unsigned char *raw = PQunescapeBytea(reinterpret_cast<const unsigned char *>(PQgetvalue(rows, r, i)), &length);
        row.addBlob(reinterpret_cast<const char *>(raw), raw ? int(length) : 0);
        PQfreemem(raw);
      } else {
        row.addText(PQgetvalue(rows, r, i), PQgetlength(rows, r, i), statement.kinds.at(i));
      }
    }
    result->rows << std::move(row);
  }
  return 0;
}

void PostgresBackend::command(const char *text) {
  const ResultHolder done(PQexec(m_connection, text), &PQclear);
  if (!done || PQresultStatus(done.get()) != PGRES_COMMAND_OK)
    throw StoreError(QStringLiteral("%1: %2").arg(error(done.get()), QString::fromLatin1(text)));
}

void PostgresBackend::append(const NewRow &row, const AppendGuard &guard) {
  appendInTransaction(row, guard, QString());
}

void PostgresBackend::beginAppend(const AppendGuard &guard) {
  command("begin");
  m_inTransaction = true;
  // Serialises the appends for one kindergarten (and one identity number)
  // only; other kindergartens go on in parallel. Both locks in one round
  // trip, always quota first, then identity, so two appends never wait on
  // each other in a circle.
  QStringList locks;
  QVariantList keys;
  if (!guard.quotaColumn.isEmpty() && guard.capacity >= 0) {
    locks << QStringLiteral("pg_advisory_xact_lock(1, hashtext(?))");
    keys << guard.quotaColumn + QLatin1Char('=') + guard.quotaValue.toString();
  }
  if (!guard.uniqueColumn.isEmpty()) {
    locks << QStringLiteral("pg_advisory_xact_lock(2, hashtext(?))");
    keys << guard.uniqueColumn + QLatin1Char('=') + guard.uniqueValue.toString();
  }
  if (!locks.isEmpty())
    execute(QStringLiteral("select ") + locks.join(QStringLiteral(", ")), keys, nullptr);
}

void PostgresBackend::commit() {
  m_inTransaction = false;
  command("commit");
}

void PostgresBackend::rollback() {
  if (!m_inTransaction || !m_connection)
    return;
  m_inTransaction = false;
  PQclear(PQexec(m_connection, "rollback"));
}

QStringList PostgresBackend::createStatements() {
  return {QStringLiteral("create table lz_kttb (幼儿园填报 boolean, 幼儿园版本 varchar(20))"),
          QStringLiteral("create table lz_yjxxk (%1)")
              .arg(schema::applicationColumnsSql(QStringLiteral("varchar"), QStringLiteral("timestamp(0)"))),
          QStringLiteral("create table lz_xzcz (村或社区 varchar(40), 组数 integer)"),
          QStringLiteral("create or replace function getdate() returns timestamp language sql stable as "
                         "$$ select localtimestamp(3)::timestamp $$"),
          QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
          QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)")};
}

QStringList PostgresBackend::dropStatements() {
  return {QStringLiteral("drop table if exists lz_kttb"), QStringLiteral("drop table if exists lz_yjxxk"),
          QStringLiteral("drop table if exists lz_xzcz"), QStringLiteral("drop function if exists getdate()")};
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
