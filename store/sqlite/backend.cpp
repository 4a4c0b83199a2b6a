#include "store/sqlite/backend.h"

#include "store/records.h"
#include "store/schema.h"

#include <QDateTime>
#include <QFileInfo>
#include <QVarLengthArray>
#include <sqlite3.h>

namespace {

// Binds the values to a statement. Date-times go as local wall-clock text,
// which the date-time columns keep as it stands.
int bind(sqlite3_stmt *statement, const QVariantList &values) {
  int rc = sqlite3_clear_bindings(statement);
  for (int i = 0; i < values.size() && rc == SQLITE_OK; ++i) {
    const QVariant &value = values.at(i);
    if (backend::boundAsNull(value)) {
      rc = sqlite3_bind_null(statement, i + 1);
      continue;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: rc = sqlite3_bind_int64(statement, i + 1, value.toLongLong()); break;
    case QMetaType::Double: rc = sqlite3_bind_double(statement, i + 1, value.toDouble()); break;
    case QMetaType::QByteArray: {
      const QByteArray bytes = value.toByteArray();
      rc = sqlite3_bind_blob(statement, i + 1, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      const QByteArray utf8 = backend::wallClockText(value).toUtf8();
      rc = sqlite3_bind_text(statement, i + 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
      break;
    }
    }
  }
  return rc;
}

// A result column's name: quotes removed, no table.
QString columnName(sqlite3_stmt *statement, int column) {
  QString name = QString::fromUtf8(sqlite3_column_name(statement, column));
  name.remove(QLatin1Char('"'));
  return name.mid(name.lastIndexOf(QLatin1Char('.')) + 1);
}

// How a result column is read: a column declared as a date-time gives a
// date-time; an expression (no declared type, as getdate()) gives one when
// its text has exactly getdate()'s form.
ResultRow::Kind kindOf(sqlite3_stmt *statement, int column) {
  const char *declared = sqlite3_column_decltype(statement, column);
  if (!declared)
    return ResultRow::Kind::ExactStamp;
  const QByteArray type = QByteArray(declared).toLower();
  return type.contains("date") || type.contains("time") ? ResultRow::Kind::StampOrText : ResultRow::Kind::Text;
}

// How often SQLite has compiled the statement again since it was first
// compiled (after a table it reads was changed).
int reprepares(sqlite3_stmt *statement) { return sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_REPREPARE, 0); }

// The current row of a statement, each column asked of the library once.
ResultRow rowOf(sqlite3_stmt *statement, const QList<ResultRow::Kind> &kinds) {
  const int count = int(kinds.size());
  QVarLengthArray<int, 32> types(count);
  QVarLengthArray<const char *, 32> data(count);
  QVarLengthArray<int, 32> sizes(count);
  int total = 0;
  for (int i = 0; i < count; ++i) {
    types[i] = sqlite3_column_type(statement, i);
    data[i] = nullptr;
    sizes[i] = 0;
    if (types[i] == SQLITE_TEXT || types[i] == SQLITE_BLOB) {
      // The pointer first, then the size: the conversion of the first may change the second.
      data[i] = types[i] == SQLITE_TEXT ? reinterpret_cast<const char *>(sqlite3_column_text(statement, i))
                                        : static_cast<const char *>(sqlite3_column_blob(statement, i));
      sizes[i] = sqlite3_column_bytes(statement, i);
      total += sizes[i];
    }
  }
  ResultRow row;
  row.reserve(count, total);
  for (int i = 0; i < count; ++i) {
    switch (types[i]) {
    case SQLITE_INTEGER: row.addInteger(sqlite3_column_int64(statement, i)); break;
    case SQLITE_FLOAT: row.addReal(sqlite3_column_double(statement, i)); break;
    case SQLITE_BLOB: row.addBlob(data[i], sizes[i]); break;
    case SQLITE_TEXT: row.addText(data[i], sizes[i], kinds.at(i)); break;
    default: row.addNull(); break;
    }
  }
  return row;
}

void getdate(sqlite3_context *context, int, sqlite3_value **) {
  sqlite3 *handle = sqlite3_context_db_handle(context);
  qint64 offset = 0;
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2(handle, "select offset_seconds from kg_clock limit 1", -1, &statement, nullptr) == SQLITE_OK) {
    if (sqlite3_step(statement) == SQLITE_ROW)
      offset = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  const QByteArray text =
      QDateTime::currentDateTime().addSecs(offset).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
  sqlite3_result_text(context, text.constData(), int(text.size()), SQLITE_TRANSIENT);
}

} // namespace

SqliteBackend::SqliteBackend(const StoreLocation &location, int timeoutSeconds)
    : StoreBackend(location, timeoutSeconds) {}

SqliteBackend::~SqliteBackend() { disconnect(); }

void SqliteBackend::installGetdate(sqlite3 *connection) {
  const int rc =
      sqlite3_create_function_v2(connection, "getdate", 0, SQLITE_UTF8, nullptr, getdate, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK)
    throw StoreError(QStringLiteral("Cannot register getdate(): %1").arg(QString::fromUtf8(sqlite3_errstr(rc))));
}

void SqliteBackend::connect() {
  if (m_connection)
    return;
  if (!m_location.createFile && !QFileInfo::exists(m_location.file))
    throw StoreError(QStringLiteral("The store file %1 does not exist").arg(m_location.file));
  // Opened read-write; created only when asked to (the admin tool's init).
  // The connection is its query object's alone, used by the thread that
  // owns it, so the library takes no lock of its own around each call (a
  // lookup makes sixty calls to read one row).
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (m_location.createFile ? SQLITE_OPEN_CREATE : 0);
  sqlite3 *connection = nullptr;
  int rc = sqlite3_open_v2(m_location.file.toUtf8().constData(), &connection, flags, nullptr);
  QString failure;
  if (rc != SQLITE_OK) {
    failure = QString::fromUtf8(connection ? sqlite3_errmsg(connection) : sqlite3_errstr(rc));
  } else {
    // Another writer holds the file: wait for it up to the time limit.
    sqlite3_busy_timeout(connection, m_timeout * 1000);
    try {
      installGetdate(connection);
    } catch (const StoreError &error) {
      failure = error.message();
    }
  }
  if (!failure.isEmpty()) {
    sqlite3_close_v2(connection);
    throw StoreError(QStringLiteral("Cannot connect to the store (%1): %2").arg(m_location.describe(), failure));
  }
  m_connection = connection;
}

void SqliteBackend::disconnect() {
  m_lastPrepared = nullptr;
  for (auto &[text, statement] : m_prepared)
    sqlite3_finalize(statement->compiled);
  m_prepared.clear();
  if (m_connection)
    sqlite3_close_v2(m_connection); // rolls back what is open
  m_connection = nullptr;
  m_inTransaction = false;
}

void SqliteBackend::fail(const QString &text, int rc) {
  throw StoreError(
      QStringLiteral("%1 [%2]: %3").arg(QString::fromUtf8(sqlite3_errmsg(m_connection))).arg(rc).arg(text));
}

SqliteBackend::Prepared &SqliteBackend::prepared(const QString &text) {
  if (m_lastPrepared && m_lastText == text)
    return *m_lastPrepared;
  auto found = m_prepared.find(text);
  if (found == m_prepared.end()) {
    auto statement = std::make_unique<Prepared>();
    const QByteArray utf8 = text.toUtf8();
    if (const int rc =
            sqlite3_prepare_v2(m_connection, utf8.constData(), int(utf8.size()), &statement->compiled, nullptr);
        rc != SQLITE_OK)
      fail(text, rc);
    found = m_prepared.emplace(text, std::move(statement)).first;
  }
  m_lastPrepared = found->second.get();
  m_lastText = text;
  return *m_lastPrepared;
}

int SqliteBackend::execute(const QString &text, const QVariantList &values, Result *result) {
  Prepared &statement = prepared(text);
  sqlite3_stmt *compiled = statement.compiled;
  auto failed = [&](int rc) {
    const QString message = QString::fromUtf8(sqlite3_errmsg(m_connection));
    sqlite3_reset(compiled);
    throw StoreError(QStringLiteral("%1 [%2]: %3").arg(message).arg(rc).arg(text));
  };
  sqlite3_reset(compiled);
  if (const int rc = bind(compiled, values); rc != SQLITE_OK)
    failed(rc);
  int rc = sqlite3_step(compiled); // compiles the statement again when a table changed
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    failed(rc);
  if (!result) {
    while (rc == SQLITE_ROW)
      rc = sqlite3_step(compiled);
    if (rc != SQLITE_DONE)
      failed(rc);
    sqlite3_reset(compiled);
    return sqlite3_changes(m_connection);
  }
  // The columns stay the same from run to run, unless a table was replaced
  // meanwhile: SQLite then compiles the statement again, and counts it.
  if (!statement.described || reprepares(compiled) != statement.reprepares) {
    const int count = sqlite3_column_count(compiled);
    statement.columns.clear();
    statement.kinds.clear();
    for (int i = 0; i < count; ++i) {
      statement.columns << columnName(compiled, i);
      statement.kinds << kindOf(compiled, i);
    }
    statement.reprepares = reprepares(compiled);
    statement.described = true;
  }
  result->columns = statement.columns;
  result->rows.clear();
  for (; rc == SQLITE_ROW; rc = sqlite3_step(compiled))
    result->rows << rowOf(compiled, statement.kinds);
  if (rc != SQLITE_DONE)
    failed(rc);
  sqlite3_reset(compiled);
  return 0;
}

// Guarded, in one transaction that holds the store's write lock: one insert
// that adds the row only while the kindergarten has room by the store's own
// capacity (lz_yeyme; a kindergarten it does not name has no limit) and the
// identity number is not stored yet; when no row
// went in, the same transaction tells which condition refused it. A text
// without a GBK form is refused before anything is written: the embedded
// store holds what the client's library lets through, and the library lets
// through only what GBK can hold.
void SqliteBackend::append(const NewRow &row, const AppendGuard &guard) {
  const QVariantList arguments = backend::appendArguments(row, guard);
  const NewRow sent{row.table, schema::applicationColumns(), arguments};
  backend::requireGbk(sent);
  try {
    connect();
    begin();
  } catch (...) {
    disconnect();
    throw;
  }

  static const QString guardedInsert = [] {
    QStringList marks;
    for (qsizetype i = 0; i < schema::applicationColumns().size(); ++i)
      marks << QStringLiteral("?");
    return QStringLiteral("insert into lz_yjxxk (%1) select %2 where "
                          "coalesce((select count(*) from lz_yjxxk where 申请幼儿园名称 = ?) < "
                          "(select 名额 from lz_yeyme where 申请幼儿园名称 = ?), 1) and "
                          "not exists (select 1 from lz_yjxxk where 身份证号 = ?)")
        .arg(schema::applicationColumns().join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
  }();
  const QString uniqueSelect = QStringLiteral("select * from lz_yjxxk where 身份证号 = ?");
  const QVariant kindergarten = guard.quotaValue;
  const QVariant number = guard.uniqueValue;
  int inserted = 0;
  try {
    inserted = execute(guardedInsert, arguments + QVariantList{kindergarten, kindergarten, number}, nullptr);
  } catch (const StoreError &error) {
    rollback();
    // The unique key on the identity number is the last line of defence: an
    // insert it refused is a duplicate, reported with the row that holds it.
    Result existing;
    try {
      execute(uniqueSelect, {number}, &existing);
    } catch (...) {
      disconnect();
      throw error;
    }
    if (!existing.rows.isEmpty())
      throw AppendRefused(AppendRefused::Reason::Duplicate, backend::rowMap(existing, 0));
    disconnect();
    throw;
  }

  if (inserted != 1) {
    // Refused by the guard; the locks still hold, so the reason read now is
    // the one the insert met. The quota is told first, as the form does.
    try {
      Result counted;
      execute(QStringLiteral("select (select count(*) from lz_yjxxk where 申请幼儿园名称 = ?), "
                             "(select 名额 from lz_yeyme where 申请幼儿园名称 = ?)"),
              {kindergarten, kindergarten}, &counted);
      const QVariant capacity = counted.rows.isEmpty() ? QVariant() : counted.rows.first().value(1);
      Result existing;
      execute(uniqueSelect, {number}, &existing);
      rollback();
      if (!capacity.isNull() && counted.rows.first().value(0).toLongLong() >= capacity.toLongLong())
        throw AppendRefused(AppendRefused::Reason::QuotaFull, {});
      if (!existing.rows.isEmpty())
        throw AppendRefused(AppendRefused::Reason::Duplicate, backend::rowMap(existing, 0));
      throw StoreError(QStringLiteral("The store added %1 rows instead of one: %2").arg(inserted).arg(guardedInsert));
    } catch (const StoreError &) {
      if (m_inTransaction) {
        rollback();
        disconnect();
      }
      throw;
    } catch (...) {
      rollback();
      disconnect();
      throw;
    }
  }
  try {
    commit();
  } catch (...) {
    rollback();
    disconnect();
    throw;
  }
}

void SqliteBackend::begin() {
  // Takes the write lock at once (waiting up to the busy time-out), so the
  // re-checks and the insert see no other writer in between.
  execute(QStringLiteral("BEGIN IMMEDIATE"), {}, nullptr);
  m_inTransaction = true;
}

void SqliteBackend::commit() {
  m_inTransaction = false;
  execute(QStringLiteral("COMMIT"), {}, nullptr);
}

void SqliteBackend::rollback() {
  if (!m_inTransaction || !m_connection)
    return;
  m_inTransaction = false;
  sqlite3_exec(m_connection, "ROLLBACK", nullptr, nullptr, nullptr);
}

QStringList SqliteBackend::createStatements() {
  return {QStringLiteral("create table lz_kttb (幼儿园填报 boolean, 幼儿园版本 varchar(20))"),
          QStringLiteral("create table lz_yjxxk (%1)")
              .arg(schema::applicationColumnsSql(QStringLiteral("varchar"), QStringLiteral("datetime"))),
          QStringLiteral("create table lz_xzcz (村或社区 varchar(40), 组数 integer)"),
          schema::quotaTableSql(QStringLiteral("varchar")),
          QStringLiteral("create table kg_clock (offset_seconds integer not null)"),
          QStringLiteral("insert into kg_clock (offset_seconds) values (0)"),
          QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
          QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)")};
}

QStringList SqliteBackend::dropStatements() {
  return {QStringLiteral("drop table if exists lz_kttb"), QStringLiteral("drop table if exists lz_yjxxk"),
          QStringLiteral("drop table if exists lz_xzcz"), QStringLiteral("drop table if exists lz_yeyme"),
          QStringLiteral("drop table if exists kg_clock")};
}

// The recording time and the record of changes.

namespace {

// The embedded store: the time on its settable clock (the kg_clock offset,
// as getdate() answers), to the millisecond.
const QString kSqliteNow = QStringLiteral("strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime', "
                                          "coalesce((select offset_seconds from kg_clock limit 1), 0) || ' seconds')");

// One row per recorded column with its old (o) and new (n) value, for the
// embedded store's triggers, which have no row-to-JSON function.
QString sqlitePairs() {
  QStringList parts;
  for (const QString &column : schema::recordedColumns())
    parts << QStringLiteral("select '%1' k, old.%1 o, new.%1 n").arg(column);
  return parts.join(QStringLiteral(" union all "));
}

QString sqliteContext() {
  return QStringLiteral("from (select 1) left join (select 操作人, 操作, 原因 from kg_audit_context limit 1) c on 1");
}

} // namespace

QStringList SqliteBackend::recordStatements() {
  QStringList changed;
  for (const QString &column : schema::applicationColumns())
    changed << QStringLiteral("old.%1 is not new.%1").arg(column);
  QStringList whole;
  for (const QString &column : schema::recordedColumns())
    whole << QStringLiteral("'%1', old.%1").arg(column);
  const QString pairs = sqlitePairs();
  return {
      QStringLiteral("alter table lz_yjxxk add column 记录时间 datetime"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      QStringLiteral("create table kg_audit_context (操作人 varchar(64), 操作 varchar(10), 原因 varchar(500))"),
      schema::auditTableSql(QStringLiteral("integer"), QStringLiteral("datetime"), QString(), QStringLiteral("varchar"),
                            QStringLiteral("text")),
      // The store fills the recording time of every new row itself.
      QStringLiteral("create trigger tr_lz_yjxxk_jlsj after insert on lz_yjxxk when new.记录时间 is null begin "
                     "update lz_yjxxk set 记录时间 = %1 where rowid = new.rowid; end")
          .arg(kSqliteNow),
      // Every change but that filling is recorded.
      QStringLiteral("create trigger tr_lz_yjxxk_update after update on lz_yjxxk when (%1) or "
                     "(old.记录时间 is not null and old.记录时间 is not new.记录时间) begin "
                     "insert into lz_xgjl (时间, 操作人, 操作, 身份证号, 列名, 原值, 新值, 原因) "
                     "select %2, coalesce(c.操作人, 'SQL'), coalesce(c.操作, '修改'), old.身份证号, "
                     "(select group_concat(k, ',') from (%3) where o is not n), "
                     "(select json_group_object(k, o) from (%3) where o is not n), "
                     "(select json_group_object(k, n) from (%3) where o is not n), c.原因 %4; end")
          .arg(changed.join(QStringLiteral(" or ")), kSqliteNow, pairs, sqliteContext()),
      QStringLiteral("create trigger tr_lz_yjxxk_delete after delete on lz_yjxxk begin "
                     "insert into lz_xgjl (时间, 操作人, 操作, 身份证号, 列名, 原值, 新值, 原因) "
                     "select %1, coalesce(c.操作人, 'SQL'), coalesce(c.操作, '删除'), old.身份证号, '*', "
                     "json_object(%2), null, c.原因 %3; end")
          .arg(kSqliteNow, whole.join(QStringLiteral(", ")), sqliteContext()),
  };
}

QStringList SqliteBackend::dropRecordStatements() {
  return {QStringLiteral("drop table if exists lz_xgjl"), QStringLiteral("drop table if exists kg_audit_context")};
}

// The embedded store has no session settings: the context is a row of
// kg_audit_context, written and removed inside the transaction, which no
// other connection sees before the commit.
QStringList SqliteBackend::auditContextStatements() {
  return {QStringLiteral("delete from kg_audit_context"),
          QStringLiteral("insert into kg_audit_context (操作人, 操作, 原因) values (?, ?, ?)")};
}

QStringList SqliteBackend::clearAuditContextStatements() { return {QStringLiteral("delete from kg_audit_context")}; }
