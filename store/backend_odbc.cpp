#include "store/backend_odbc.h"

#include "store/records.h"
#include "store/schema.h"

#include <QAtomicInt>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>

#include <sql.h>
#include <sqlext.h>

namespace {

QAtomicInt connectionCounter;

QString errorText(const QSqlError &error) {
  QString text = error.databaseText().trimmed();
  const QString driver = error.driverText().trimmed();
  if (text.isEmpty())
    text = driver;
  else if (!driver.isEmpty() && !text.contains(driver))
    text = driver + QStringLiteral(": ") + text;
  if (!error.nativeErrorCode().isEmpty())
    text += QStringLiteral(" [%1]").arg(error.nativeErrorCode());
  return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

// The ODBC handle behind a Qt handle (SQLHANDLE is void*), or nullptr.
SQLHANDLE odbcHandle(const QVariant &handle) {
  if (qstrcmp(handle.typeName(), "SQLHANDLE") != 0 && qstrcmp(handle.typeName(), "void*") != 0)
    return nullptr;
  return *static_cast<const SQLHANDLE *>(handle.data());
}

} // namespace

OdbcBackend::OdbcBackend(const StoreLocation &location, int timeoutSeconds)
    : StoreBackend(location, timeoutSeconds),
      m_connectionName(QStringLiteral("kg-odbc#%1").arg(connectionCounter.fetchAndAddRelaxed(1))) {}

OdbcBackend::~OdbcBackend() { disconnect(); }

QSqlDatabase OdbcBackend::database() const { return QSqlDatabase::database(m_connectionName, false); }

void OdbcBackend::connect() {
  if (m_connected)
    return;
  QString failure;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connectionName);
    db.setDatabaseName(m_location.odbcConnection);
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(qMax(1, m_location.loginTimeout)));
    if (!db.open()) {
      failure = errorText(db.lastError());
    } else if (db.driver()->dbmsType() == QSqlDriver::PostgreSQL) {
      m_server = Server::PostgreSQL;
    } else if (db.driver()->dbmsType() == QSqlDriver::MSSqlServer) {
      m_server = Server::SqlServer;
    } else {
      failure = QStringLiteral("the server is neither SQL Server nor PostgreSQL");
      db.close();
    }
  }
  if (!failure.isEmpty()) {
    QSqlDatabase::removeDatabase(m_connectionName);
    throw StoreError(QStringLiteral("Cannot connect to the store (%1): %2").arg(m_location.describe(), failure));
  }
  m_connected = true;
}

void OdbcBackend::disconnect() {
  m_prepared.clear();
  if (!QSqlDatabase::contains(m_connectionName)) {
    m_connected = false;
    return;
  }
  {
    QSqlDatabase db = database();
    if (db.isOpen())
      db.close();
  }
  QSqlDatabase::removeDatabase(m_connectionName);
  m_connected = false;
}

bool OdbcBackend::connectionLost() {
  if (!m_connected)
    return false;
  SQLHANDLE connection = odbcHandle(database().driver()->handle());
  if (!connection)
    return true;
  SQLUINTEGER dead = SQL_CD_TRUE;
  const SQLRETURN rc = SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  if (!SQL_SUCCEEDED(rc) || dead != SQL_CD_FALSE)
    return true;
  // Not every driver notices a lost link by itself (the PostgreSQL one does
  // not): a trivial statement tells.
  try {
    execute(QStringLiteral("select 1"), {}, nullptr);
    return false;
  } catch (const StoreError &) {
    return true;
  }
}

OdbcBackend::Prepared &OdbcBackend::prepared(const QString &text) {
  if (auto found = m_prepared.find(text); found != m_prepared.end())
    return *found->second;
  auto statement = std::make_unique<Prepared>();
  QSqlQuery query(database());
  query.setForwardOnly(true); // the whole result is fetched at once anyway
  if (!query.prepare(text))
    throw StoreError(QStringLiteral("%1: %2").arg(errorText(query.lastError()), text));
  // The driver gives the statement up after the time limit and tells the
  // server to stop it.
  if (SQLHANDLE handle = odbcHandle(query.result()->handle()))
    SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<quintptr>(m_timeout)),
                   SQL_IS_UINTEGER);
  statement->query = std::move(query);
  return *m_prepared.emplace(text, std::move(statement)).first->second;
}

int OdbcBackend::execute(const QString &text, const QVariantList &values, Result *result) {
  Prepared &statement = prepared(text);
  QSqlQuery &query = statement.query;
  for (int i = 0; i < values.size(); ++i)
    query.bindValue(i, values.at(i));
  if (!query.exec()) {
    const QSqlError error = query.lastError();
    query.finish();
    // A PostgreSQL server refuses a kept prepared statement whose table was
    // replaced since ("cached plan must not change result type"): prepare it
    // afresh.
    if (statement.described && (error.nativeErrorCode() == QLatin1String("0A000") ||
                                error.databaseText().contains(QLatin1String("cached plan must not change")))) {
      m_prepared.erase(text);
      return execute(text, values, result);
    }
    throw StoreError(QStringLiteral("%1: %2").arg(errorText(error), text));
  }
  if (!result) {
    const int changed = query.numRowsAffected();
    query.finish();
    return changed;
  }
  // The driver describes the result at every run anyway.
  const QSqlRecord record = query.record();
  QStringList columns;
  for (int i = 0; i < record.count(); ++i)
    columns << record.fieldName(i);
  statement.columns = columns;
  statement.described = true;
  result->columns = columns;
  result->rows.clear();
  const int count = int(columns.size());
  while (query.next()) {
    QVariantList row;
    row.reserve(count);
    for (int i = 0; i < count; ++i)
      row << result::normalised(query.value(i));
    result->rows << ResultRow(std::move(row));
  }
  if (query.lastError().isValid()) {
    const QString message = errorText(query.lastError());
    query.finish();
    throw StoreError(QStringLiteral("%1: %2").arg(message, text));
  }
  query.finish();
  return 0;
}

void OdbcBackend::append(const NewRow &row, const AppendGuard &guard) {
  const QVariantList arguments = backend::appendArguments(row, guard);
  // A kept connection may have been lost without notice, and the driver does
  // not tell before a statement fails: it is checked first, holding no lock,
  // so that the append is only sent on a live link.
  if (connected() && connectionLost())
    disconnect();
  QStringList marks;
  for (qsizetype i = 0; i < arguments.size(); ++i)
    marks << QStringLiteral("?");
  // SQL Server runs the procedure, PostgreSQL the function of the same name:
  // either takes the locks, re-checks, inserts and commits in one request.
  const QString call =
      (m_server == Server::SqlServer ? QStringLiteral("exec kg_append %1") : QStringLiteral("select kg_append(%1)"))
          .arg(marks.join(QStringLiteral(", ")));
  Result outcome;
  try {
    connect();
    execute(call, arguments, &outcome);
  } catch (const StoreError &) {
    // The link went while the outcome is unknown: the server may have stored
    // the row before. What it holds is read on a new connection before anyone
    // is told.
    const bool unknown = connectionLost();
    disconnect();
    if (unknown) {
      try {
        connect();
        if (readBack(row))
          return;
      } catch (const StoreError &) {
      }
      disconnect();
    }
    throw;
  }
  refuseUnlessStored(outcome.rows.isEmpty() ? -1 : outcome.rows.first().value(0).toInt(), row);
}

QString OdbcBackend::appendProcedure() {
  // Run with its owner's rights (the client's login needs no insert right).
  // The appends of one kindergarten, and of one identity number, wait for
  // each other on application locks held to the end of the transaction,
  // quota first, then identity; other kindergartens go on in parallel. An
  // append given up by the client (its time limit) is rolled back with the
  // connection the client then replaces.
  QStringList parameters{QStringLiteral("@capacity int"), QStringLiteral("@unique bit")};
  QStringList values;
  for (const QString &column : schema::applicationColumns()) {
    const int length = schema::applicationColumnLength(column);
    parameters << (length == 0 ? QStringLiteral("@p_%1 datetime").arg(column)
                               : QStringLiteral("@p_%1 nvarchar(%2)").arg(column).arg(length));
    values << QStringLiteral("@p_") + column;
  }
  return QStringLiteral(
             "create procedure kg_append %1\n"
             "with execute as owner\n"
             "as\n"
             "begin\n"
             "  set nocount on;\n"
             "  set xact_abort on;\n"
             "  declare @outcome int;\n"
             "  declare @key nvarchar(100);\n"
             "  set @outcome = %6;\n"
             "  begin transaction;\n"
             "  if @capacity >= 0\n"
             "  begin\n"
             "    set @key = N'申请幼儿园名称=' + isnull(@p_申请幼儿园名称, N'');\n"
             "    exec sp_getapplock @Resource = @key, @LockMode = 'Exclusive', @LockOwner = 'Transaction';\n"
             "  end\n"
             "  if @unique = 1\n"
             "  begin\n"
             "    set @key = N'身份证号=' + isnull(@p_身份证号, N'');\n"
             "    exec sp_getapplock @Resource = @key, @LockMode = 'Exclusive', @LockOwner = 'Transaction';\n"
             "  end\n"
             "  if @capacity >= 0 and (select count(*) from lz_yjxxk where 申请幼儿园名称 = @p_申请幼儿园名称) >= "
             "@capacity\n"
             "    set @outcome = %4;\n"
             "  else if exists (select 1 from lz_yjxxk where 身份证号 = @p_身份证号)\n"
             "    set @outcome = %5;\n"
             "  else\n"
             "    insert into lz_yjxxk (%2) values (%3);\n"
             "  commit transaction;\n"
             "  select @outcome as outcome;\n"
             "end")
      .arg(parameters.join(QStringLiteral(", ")), schema::applicationColumns().join(QStringLiteral(", ")),
           values.join(QStringLiteral(", ")))
      .arg(kQuotaFull)
      .arg(kDuplicate)
      .arg(kStored);
}

QStringList OdbcBackend::createStatements() {
  return {QStringLiteral("create table lz_kttb (幼儿园填报 bit, 幼儿园版本 nvarchar(20))"),
          QStringLiteral("create table lz_yjxxk (%1)")
              .arg(schema::applicationColumnsSql(QStringLiteral("nvarchar"), QStringLiteral("datetime"))),
          QStringLiteral("create table lz_xzcz (村或社区 nvarchar(40), 组数 int)"),
          QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
          QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)"),
          appendProcedure()};
}

QStringList OdbcBackend::dropStatements() {
  return {QStringLiteral("if object_id('lz_kttb') is not null drop table lz_kttb"),
          QStringLiteral("if object_id('lz_yjxxk') is not null drop table lz_yjxxk"),
          QStringLiteral("if object_id('lz_xzcz') is not null drop table lz_xzcz"),
          QStringLiteral("if object_id('kg_append') is not null drop procedure kg_append")};
}

// The recording time and the record of changes (SQL Server).

QStringList OdbcBackend::recordStatements() {
  QStringList before;
  QStringList after;
  for (const QString &column : schema::recordedColumns()) {
    before << QStringLiteral("d.%1 as %1").arg(column);
    after << QStringLiteral("i.%1 as %1").arg(column);
  }
  const QString json = QStringLiteral(" for json path, without_array_wrapper, include_null_values");
  return {
      QStringLiteral("alter table lz_yjxxk add 记录时间 datetime2(3) null"),
      QStringLiteral("alter table lz_yjxxk add constraint df_lz_yjxxk_jlsj default sysdatetime() for 记录时间"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      schema::auditTableSql(QStringLiteral("bigint identity"), QStringLiteral("datetime2(3)"),
                            QStringLiteral(" default sysdatetime()"), QStringLiteral("nvarchar"),
                            QStringLiteral("nvarchar(max)")),
      // One row of lz_xgjl per changed or removed row. A statement that
      // changes one row is matched with its new row whatever it changed,
      // the identity number included.
      QStringLiteral("create trigger tr_lz_yjxxk_change on lz_yjxxk after update, delete as\n"
                     "begin\n"
                     "  set nocount on;\n"
                     "  insert into lz_xgjl (操作人, 操作, 身份证号, 列名, 原值, 新值, 原因)\n"
                     "  select coalesce(cast(session_context(N'kg.who') as nvarchar(64)), suser_sname()),\n"
                     "         coalesce(cast(session_context(N'kg.operation') as nvarchar(10)),\n"
                     "                  case when i.身份证号 is null then N'删除' else N'修改' end),\n"
                     "         d.身份证号, case when i.身份证号 is null then N'*' else null end,\n"
                     "         (select %1%3), case when i.身份证号 is null then null else (select %2%3) end,\n"
                     "         cast(session_context(N'kg.reason') as nvarchar(500))\n"
                     "  from deleted d left join inserted i\n"
                     "    on i.身份证号 = d.身份证号 or ((select count(*) from deleted) = 1 and (select count(*) from "
                     "inserted) = 1);\n"
                     "end")
          .arg(before.join(QStringLiteral(", ")), after.join(QStringLiteral(", ")), json),
  };
}

QStringList OdbcBackend::dropRecordStatements() {
  return {QStringLiteral("if object_id('lz_xgjl') is not null drop table lz_xgjl")};
}

// The session's context, cleared again after the commit.
QStringList OdbcBackend::auditContextStatements() {
  return {QStringLiteral("exec sp_set_session_context N'kg.who', ?"),
          QStringLiteral("exec sp_set_session_context N'kg.operation', ?"),
          QStringLiteral("exec sp_set_session_context N'kg.reason', ?")};
}

QStringList OdbcBackend::clearAuditContextStatements() {
  return {QStringLiteral("exec sp_set_session_context N'kg.who', null"),
          QStringLiteral("exec sp_set_session_context N'kg.operation', null"),
          QStringLiteral("exec sp_set_session_context N'kg.reason', null")};
}
