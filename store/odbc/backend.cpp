#include "store/odbc/backend.h"

#include "store/records.h"
#include "store/schema.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h> // sql.h takes its types from it
#endif
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
  m_session = Session{};
  if (m_server == Server::PostgreSQL) {
    // The session's process number, and a name of its own that tells it from
    // a later session with the same number.
    const QString name = QStringLiteral("kgfiling-%1").arg(QRandomGenerator::system()->generate64(), 0, 16);
    try {
      Result session;
      execute(QStringLiteral("select pg_backend_pid(), set_config('application_name', ?, false)"), {name}, &session);
      m_session.pid = session.rows.first().value(0).toInt();
      m_session.name = name;
    } catch (const StoreError &) {
      disconnect();
      throw;
    }
  }
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
  const NewRow sent{row.table, schema::applicationColumns(), arguments};
  // A kept connection may have been lost without notice, and the driver does
  // not tell before a statement fails: it is checked first, holding no lock,
  // so that the append is only sent on a live link.
  if (connected() && connectionLost())
    disconnect();
  QStringList marks;
  for (qsizetype i = 0; i < arguments.size(); ++i)
    marks << QStringLiteral("?");
  Result outcome;
  Session sending;
  try {
    connect();
    // SQL Server runs the procedure, PostgreSQL the function of the same
    // name: either takes the locks, re-checks, inserts and commits in one
    // request.
    const QString call =
        (m_server == Server::SqlServer ? QStringLiteral("exec kg_append %1") : QStringLiteral("select kg_append(%1)"))
            .arg(marks.join(QStringLiteral(", ")));
    sending = m_session;
    sending.sent = true;
    sending.doneBy = QDeadlineTimer(kProcedureBoundMs);
    execute(call, arguments, &outcome);
  } catch (const StoreError &) {
    // Sent, and then the link went: the server may have stored the row.
    // What it holds is read on a new connection before anyone is told.
    const bool unknown = sending.sent && connectionLost();
    disconnect();
    if (unknown && storedAfterAll(sent, sending))
      return;
    throw;
  }
  refuseUnlessStored(outcome.rows.isEmpty() ? -1 : outcome.rows.first().value(0).toInt(), sent);
}

bool OdbcBackend::storedAfterAll(const NewRow &sent, const Session &old) {
  // As on PostgreSQL's own library: what the store holds counts once the old
  // session has ended, and no session is ended for it. A PostgreSQL server
  // shows whether it still runs (its process number and the name this
  // connection gave itself); a login of SQL Server sees no session but its
  // own, so there the procedure's own bounds (no transaction of the caller's,
  // every lock waited for at most five seconds) are waited out instead. The
  // store is asked again and again for the command's time limit.
  // (On SQL Server at least until the procedure's bounds have passed, and a
  // little time to read.)
  QDeadlineTimer bound(
      qMax<qint64>(m_timeout * 1000, m_server == Server::SqlServer ? old.doneBy.remainingTime() + 2000 : 0));
  for (;;) {
    try {
      connect();
      for (;;) {
        bool alive = m_server == Server::SqlServer && !old.doneBy.hasExpired();
        if (m_server == Server::PostgreSQL && old.pid != 0) {
          Result found;
          execute(QStringLiteral("select count(*) from pg_stat_activity where pid = ? and application_name = ?"),
                  {old.pid, old.name}, &found);
          alive = found.rows.isEmpty() || found.rows.first().value(0).toInt() > 0;
        }
        if (!alive)
          break;
        if (bound.hasExpired())
          throw StoreError(QStringLiteral("The session of the append is still running"));
        QThread::msleep(100);
      }
      return readBack(sent);
    } catch (const StoreError &) {
      disconnect();
      if (bound.hasExpired())
        return false;
      QThread::msleep(200);
    }
  }
}

QString OdbcBackend::appendProcedure() {
  // Run with its owner's rights (the client's login needs no insert right).
  // Only as a request of its own: inside a transaction of the caller's the
  // locks would be held until the caller ended it. A text without a GBK form
  // is refused: the text is turned into code page 936 (Chinese_PRC) and
  // back, which changes it exactly then. The capacity is the store's own
  // (lz_yeyme), as the client's quota table gives it: a kindergarten the
  // table does not name has no limit. The
  // appends of one kindergarten, and of one identity number, wait for each
  // other on application locks held to the end of the transaction, quota
  // first, then identity, each for at most five seconds; other kindergartens
  // go on in parallel.
  QStringList parameters;
  QStringList values;
  QStringList texts;
  for (const QString &column : schema::applicationColumns()) {
    const int length = schema::applicationColumnLength(column);
    parameters << (length == 0 ? QStringLiteral("@p_%1 datetime").arg(column)
                               : QStringLiteral("@p_%1 nvarchar(%2)").arg(column).arg(length));
    values << QStringLiteral("@p_") + column;
    if (length != 0)
      texts << QStringLiteral("(@p_%1)").arg(column);
  }
  return QStringLiteral(
             "create procedure kg_append %1\n"
             "with execute as owner\n"
             "as\n"
             "begin\n"
             "  set nocount on;\n"
             "  set xact_abort on;\n"
             "  declare @outcome int;\n"
             "  declare @capacity int;\n"
             "  declare @key nvarchar(100);\n"
             "  declare @granted int;\n"
             "  if @@trancount > 0\n"
             "    throw 50001, N'kg_append runs only as a request of its own, outside any transaction', 1;\n"
             "  if exists (select 1 from (values %4) v(t) where t is not null and\n"
             "             cast(cast(t collate Chinese_PRC_BIN as varchar(max)) as nvarchar(max)) <> t collate "
             "Chinese_PRC_BIN)\n"
             "    throw 50002, N'a value holds a character that GBK cannot encode', 1;\n"
             "  select @capacity = 名额 from lz_yeyme where 申请幼儿园名称 = @p_申请幼儿园名称;\n"
             "  set @outcome = %7;\n"
             "  begin transaction;\n"
             "  if @capacity is not null\n"
             "  begin\n"
             "    set @key = N'申请幼儿园名称=' + @p_申请幼儿园名称;\n"
             "    exec @granted = sp_getapplock @Resource = @key, @LockMode = 'Exclusive', @LockOwner = 'Transaction', "
             "@LockTimeout = %8;\n"
             "    if @granted < 0\n"
             "      throw 50003, N'the kindergarten stayed locked', 1;\n"
             "  end\n"
             "  set @key = N'身份证号=' + isnull(@p_身份证号, N'');\n"
             "  exec @granted = sp_getapplock @Resource = @key, @LockMode = 'Exclusive', @LockOwner = 'Transaction', "
             "@LockTimeout = %8;\n"
             "  if @granted < 0\n"
             "    throw 50003, N'the identity number stayed locked', 1;\n"
             "  if @capacity is not null and (select count(*) from lz_yjxxk where 申请幼儿园名称 = "
             "@p_申请幼儿园名称) >= @capacity\n"
             "    set @outcome = %5;\n"
             "  else if exists (select 1 from lz_yjxxk where 身份证号 = @p_身份证号)\n"
             "    set @outcome = %6;\n"
             "  else\n"
             "    insert into lz_yjxxk (%2) values (%3);\n"
             "  commit transaction;\n"
             "  select @outcome as outcome;\n"
             "end")
      .arg(parameters.join(QStringLiteral(", ")), schema::applicationColumns().join(QStringLiteral(", ")),
           values.join(QStringLiteral(", ")), texts.join(QStringLiteral(", ")))
      .arg(kQuotaFull)
      .arg(kDuplicate)
      .arg(kStored)
      .arg(kLockWaitMs);
}

QStringList OdbcBackend::createStatements() {
  return {QStringLiteral("create table lz_kttb (幼儿园填报 bit, 幼儿园版本 nvarchar(20))"),
          QStringLiteral("create table lz_yjxxk (%1)")
              .arg(schema::applicationColumnsSql(QStringLiteral("nvarchar"), QStringLiteral("datetime"))),
          QStringLiteral("create table lz_xzcz (村或社区 nvarchar(40), 组数 int)"),
          schema::quotaTableSql(QStringLiteral("nvarchar")),
          QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
          QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)"),
          appendProcedure()};
}

QStringList OdbcBackend::dropStatements() {
  return {QStringLiteral("if object_id('lz_kttb') is not null drop table lz_kttb"),
          QStringLiteral("if object_id('lz_yjxxk') is not null drop table lz_yjxxk"),
          QStringLiteral("if object_id('lz_xzcz') is not null drop table lz_xzcz"),
          QStringLiteral("if object_id('lz_yeyme') is not null drop table lz_yeyme"),
          QStringLiteral("if object_id('kg_append') is not null drop procedure kg_append")};
}

QStringList OdbcBackend::quotaUpgradeStatements() {
  return {schema::quotaTableSql(QStringLiteral("nvarchar")),
          QStringLiteral("if object_id('kg_append') is not null drop procedure kg_append"), appendProcedure()};
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
