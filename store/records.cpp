#include "store/records.h"

#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

namespace schema {

const char *const kRecordedColumn = "记录时间";
const char *const kAuditTable = "lz_xgjl";

namespace {

// The columns whose changes are recorded: the twenty, then the recording time.
QStringList recordedColumns() { return applicationColumns() + QStringList{QString::fromUtf8(kRecordedColumn)}; }

QString auditTable(const QString &serial, const QString &stamp, const QString &stampDefault, const QString &text,
                   const QString &longText) {
  return QStringLiteral("create table lz_xgjl (序号 %1 primary key, 时间 %2 not null%3, 操作人 %4(64) not null, "
                        "操作 %4(10) not null, 身份证号 %4(18), 列名 %4(400), 原值 %5, 新值 %5, 原因 %4(500))")
      .arg(serial, stamp, stampDefault, text, longText);
}

// The embedded store: the time on its settable clock (the kg_clock offset,
// as getdate() answers), to the millisecond.
const QString kSqliteNow = QStringLiteral("strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime', "
                                          "coalesce((select offset_seconds from kg_clock limit 1), 0) || ' seconds')");

// One row per recorded column with its old (o) and new (n) value, for the
// embedded store's triggers, which have no row-to-JSON function.
QString sqlitePairs() {
  QStringList parts;
  for (const QString &column : recordedColumns())
    parts << QStringLiteral("select '%1' k, old.%1 o, new.%1 n").arg(column);
  return parts.join(QStringLiteral(" union all "));
}

QString sqliteContext() {
  return QStringLiteral("from (select 1) left join (select 操作人, 操作, 原因 from kg_audit_context limit 1) c on 1");
}

QStringList sqliteStatements() {
  QStringList changed;
  for (const QString &column : applicationColumns())
    changed << QStringLiteral("old.%1 is not new.%1").arg(column);
  QStringList whole;
  for (const QString &column : recordedColumns())
    whole << QStringLiteral("'%1', old.%1").arg(column);
  const QString pairs = sqlitePairs();
  return {
      QStringLiteral("alter table lz_yjxxk add column 记录时间 datetime"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      QStringLiteral("create table kg_audit_context (操作人 varchar(64), 操作 varchar(10), 原因 varchar(500))"),
      auditTable(QStringLiteral("integer"), QStringLiteral("datetime"), QString(), QStringLiteral("varchar"),
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

QStringList postgresStatements() {
  return {
      // Added without a default first, so that the rows already stored keep
      // an unknown time instead of the time of the upgrade.
      QStringLiteral("alter table lz_yjxxk add column 记录时间 timestamp(3)"),
      // The time of the insert itself, not of its transaction's start: a
      // filing that waited for its kindergarten's lock is recorded after the
      // one it waited for.
      QStringLiteral("alter table lz_yjxxk alter column 记录时间 set default (clock_timestamp()::timestamp(3))"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      auditTable(QStringLiteral("bigserial"), QStringLiteral("timestamp(3)"),
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

QStringList sqlServerStatements() {
  QStringList before;
  QStringList after;
  for (const QString &column : recordedColumns()) {
    before << QStringLiteral("d.%1 as %1").arg(column);
    after << QStringLiteral("i.%1 as %1").arg(column);
  }
  const QString json = QStringLiteral(" for json path, without_array_wrapper, include_null_values");
  return {
      QStringLiteral("alter table lz_yjxxk add 记录时间 datetime2(3) null"),
      QStringLiteral("alter table lz_yjxxk add constraint df_lz_yjxxk_jlsj default sysdatetime() for 记录时间"),
      QStringLiteral("create index ix_lz_yjxxk_jlsj on lz_yjxxk (记录时间)"),
      auditTable(QStringLiteral("bigint identity"), QStringLiteral("datetime2(3)"),
                 QStringLiteral(" default sysdatetime()"), QStringLiteral("nvarchar"), QStringLiteral("nvarchar(max)")),
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

QString errorText(const QSqlError &error) {
  const QString text = error.databaseText().trimmed();
  return text.isEmpty() ? error.text().trimmed() : text;
}

void run(QSqlDatabase &db, const QString &statement, const QVariantList &values) {
  QSqlQuery query(db);
  if (!query.prepare(statement))
    throw StoreError(QStringLiteral("%1 (%2)").arg(errorText(query.lastError()), statement));
  for (int i = 0; i < values.size(); ++i)
    query.bindValue(i, values.at(i));
  if (!query.exec())
    throw StoreError(QStringLiteral("%1 (%2)").arg(errorText(query.lastError()), statement));
}

} // namespace

QStringList recordStatements(Dialect dialect) {
  switch (dialect) {
  case Dialect::SQLite: return sqliteStatements();
  case Dialect::PostgreSQL: return postgresStatements();
  case Dialect::SqlServer: return sqlServerStatements();
  }
  return {};
}

QStringList dropRecordStatements(Dialect dialect) {
  switch (dialect) {
  case Dialect::SQLite:
    return {QStringLiteral("drop table if exists lz_xgjl"), QStringLiteral("drop table if exists kg_audit_context")};
  case Dialect::PostgreSQL:
    return {QStringLiteral("drop table if exists lz_xgjl"),
            QStringLiteral("drop function if exists kg_record_change() cascade")};
  case Dialect::SqlServer: return {QStringLiteral("if object_id('lz_xgjl') is not null drop table lz_xgjl")};
  }
  return {};
}

bool hasRecords(QSqlDatabase &db) {
  const QSqlRecord columns = db.record(QStringLiteral("lz_yjxxk"));
  return columns.contains(QString::fromUtf8(kRecordedColumn));
}

bool addRecords(QSqlDatabase &db) {
  if (hasRecords(db))
    return false;
  if (!db.transaction())
    throw StoreError(QStringLiteral("Cannot start a transaction: %1").arg(errorText(db.lastError())));
  try {
    for (const QString &statement : recordStatements(dialectOf(db)))
      exec(db, statement);
  } catch (...) {
    db.rollback();
    throw;
  }
  if (!db.commit())
    throw StoreError(QStringLiteral("Cannot commit: %1").arg(errorText(db.lastError())));
  return true;
}

void setAuditContext(QSqlDatabase &db, const QString &who, const QString &operation, const QString &reason) {
  switch (dialectOf(db)) {
  case Dialect::SQLite:
    run(db, QStringLiteral("delete from kg_audit_context"), {});
    run(db, QStringLiteral("insert into kg_audit_context (操作人, 操作, 原因) values (?, ?, ?)"),
        {who, operation, reason});
    break;
  case Dialect::PostgreSQL:
    run(db,
        QStringLiteral("select set_config('kg.who', ?, true), set_config('kg.operation', ?, true), "
                       "set_config('kg.reason', ?, true)"),
        {who, operation, reason});
    break;
  case Dialect::SqlServer:
    run(db, QStringLiteral("exec sp_set_session_context N'kg.who', ?"), {who});
    run(db, QStringLiteral("exec sp_set_session_context N'kg.operation', ?"), {operation});
    run(db, QStringLiteral("exec sp_set_session_context N'kg.reason', ?"), {reason});
    break;
  }
}

void clearAuditContext(QSqlDatabase &db) {
  switch (dialectOf(db)) {
  case Dialect::SQLite: run(db, QStringLiteral("delete from kg_audit_context"), {}); break;
  case Dialect::PostgreSQL: break; // ends with the transaction
  case Dialect::SqlServer:
    for (const char *key : {"kg.who", "kg.operation", "kg.reason"})
      run(db, QStringLiteral("exec sp_set_session_context N'%1', null").arg(QLatin1String(key)), {});
    break;
  }
}

} // namespace schema
