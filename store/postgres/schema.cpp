// What the PostgreSQL server itself holds of the store: the tables,
// getdate(), the guarded append kg_append and its locks (kg_lock), the record
// of changes, and the rights of the client's login. Everything about how the
// server takes a kindergarten's lock is in this file.

#include "store/postgres/backend.h"

#include "store/records.h"
#include "store/schema.h"

QString PostgresBackend::appendFunction() {
  // Run with its owner's rights: the client's login needs neither an insert
  // right nor the advisory locks. The capacity is the store's own
  // (lz_yeyme), as the client's quota table gives it: a kindergarten the
  // table does not name has no limit. The
  // appends of one kindergarten (and of one identity number) wait for each
  // other on transaction-scoped advisory locks, always quota first, then
  // identity, so two appends never wait on each other in a circle; other
  // kindergartens go on in parallel. kg_lock bounds how long anyone can keep
  // such a lock from the others.
  QStringList parameters;
  QStringList values;
  QStringList texts;
  for (const QString &column : schema::applicationColumns()) {
    const bool stamp = column == QStringLiteral("填报日期");
    parameters << QStringLiteral("p_%1 %2").arg(column,
                                                stamp ? QStringLiteral("timestamp") : QStringLiteral("varchar"));
    values << QStringLiteral("p_") + column;
    if (!stamp)
      texts << QStringLiteral("p_") + column;
  }
  return QStringLiteral(
             "create or replace function kg_append(%1) returns integer language plpgsql security definer "
             "set search_path = public, pg_temp as $$\n"
             "declare\n"
             "  capacity integer;\n"
             "begin\n"
             "  -- The store holds GBK text only: a character without a GBK form is refused here,\n"
             "  -- whoever sends it (untranslatable_character).\n"
             "  perform convert_to(concat_ws('', %4), 'GBK');\n"
             "  select 名额 into capacity from lz_yeyme where 申请幼儿园名称 = p_申请幼儿园名称;\n"
             "  if capacity is not null then\n"
             "    perform kg_lock(1, hashtext('申请幼儿园名称=' || p_申请幼儿园名称));\n"
             "  end if;\n"
             "  perform kg_lock(2, hashtext('身份证号=' || coalesce(p_身份证号, '')));\n"
             "  if (select count(*) from lz_yjxxk where 申请幼儿园名称 = p_申请幼儿园名称) >= capacity then\n"
             "    return %5;\n"
             "  end if;\n"
             "  if exists (select 1 from lz_yjxxk where 身份证号 = p_身份证号) then\n"
             "    return %6;\n"
             "  end if;\n"
             "  insert into lz_yjxxk (%2) values (%3) on conflict (身份证号) do nothing;\n"
             "  if not found then\n"
             "    return %6;\n"
             "  end if;\n"
             "  return %7;\n"
             "end $$")
      .arg(parameters.join(QStringLiteral(", ")), schema::applicationColumns().join(QStringLiteral(", ")),
           values.join(QStringLiteral(", ")), texts.join(QStringLiteral(", ")))
      .arg(kQuotaFull)
      .arg(kDuplicate)
      .arg(kStored);
}

QString PostgresBackend::lockFunction() {
  // Takes one of kg_append's advisory locks. A lock is held for the few
  // milliseconds an append takes; but whoever calls kg_append inside a
  // transaction of their own (begin; select kg_append(...); and no commit),
  // or in a statement that goes on after it, keeps the lock until that
  // transaction ends, and no setting a session may change bounds that. So
  // the waiter bounds it: it waits a second at a time, and a holder it has
  // seen in the same transaction for two seconds is not an append at work;
  // its session is ended (the server's log names it), and the lock is taken.
  // Sessions of a superuser and of the owner are never ended.
  return QStringLiteral(
      "create or replace function kg_lock(p_space integer, p_key integer) returns void language plpgsql "
      "set search_path = pg_catalog, pg_temp set lock_timeout = '1s' as $$\n"
      "declare\n"
      "  holder record;\n"
      "  watched_pid integer;\n"
      "  watched_start timestamptz;\n"
      "  since timestamptz;\n"
      "begin\n"
      "  loop\n"
      "    begin\n"
      "      perform pg_advisory_xact_lock(p_space, p_key);\n"
      "      return;\n"
      "    exception when lock_not_available then\n"
      "      null;\n"
      "    end;\n"
      "    perform pg_stat_clear_snapshot();\n"
      "    select a.pid, a.xact_start, a.state, a.usename, a.client_addr, r.rolsuper into holder\n"
      "      from pg_locks l join pg_stat_activity a on a.pid = l.pid join pg_roles r on r.oid = a.usesysid\n"
      "     where l.locktype = 'advisory' and l.granted and l.objsubid = 2\n"
      "       and l.database = (select oid from pg_database where datname = current_database())\n"
      "       and l.classid = p_space::oid and l.objid = p_key::oid\n"
      "     limit 1;\n"
      "    if not found then\n"
      "      watched_pid := null;\n"
      "    elsif watched_pid is distinct from holder.pid or watched_start is distinct from holder.xact_start then\n"
      "      watched_pid := holder.pid;\n"
      "      watched_start := holder.xact_start;\n"
      "      since := clock_timestamp();\n"
      "    elsif clock_timestamp() - since >= interval '2 s' and not holder.rolsuper\n"
      "          and holder.usename <> current_user then\n"
      "      raise log 'kg_append: ended session % of % from % (%): it kept an append''s lock (%, %) for % s',\n"
      "        holder.pid, holder.usename, coalesce(holder.client_addr::text, 'local'), holder.state,\n"
      "        p_space, p_key, round(extract(epoch from clock_timestamp() - since)::numeric, 1);\n"
      "      perform pg_terminate_backend(holder.pid, 1000);\n"
      "      watched_pid := null;\n"
      "    end if;\n"
      "  end loop;\n"
      "end $$");
}

QStringList PostgresBackend::createStatements() {
  return QStringList{QStringLiteral("create table lz_kttb (幼儿园填报 boolean, 幼儿园版本 varchar(20))"),
                     QStringLiteral("create table lz_yjxxk (%1)")
                         .arg(schema::applicationColumnsSql(QStringLiteral("varchar"), QStringLiteral("timestamp(0)"))),
                     QStringLiteral("create table lz_xzcz (村或社区 varchar(40), 组数 integer)"),
                     schema::quotaTableSql(QStringLiteral("varchar")),
                     QStringLiteral("create or replace function getdate() returns timestamp language sql stable as "
                                    "$$ select localtimestamp(3)::timestamp $$"),
                     QStringLiteral("create index ix_lz_yjxxk_yey on lz_yjxxk (申请幼儿园名称)"),
                     QStringLiteral("create index ix_lz_xzcz_csq on lz_xzcz (村或社区)")} +
         appendStatements();
}

QStringList PostgresBackend::appendStatements() {
  return {lockFunction(), appendFunction(),
          // Only the logins granted it (kgadmin create-login) may append;
          // nobody but the owner takes the locks.
          QStringLiteral("revoke all on function kg_append from public"),
          QStringLiteral("revoke all on function kg_lock from public"),
          // The server's own time zone, as the administrator's session has it
          // now, for the store's clock and the recording time, whatever zone a
          // session of the client's login asks for.
          QStringLiteral("do $$ begin\n"
                         "  execute format('alter function getdate() set TimeZone = %L', "
                         "current_setting('TimeZone'));\n"
                         "  execute format('alter function kg_append set TimeZone = %L', "
                         "current_setting('TimeZone'));\n"
                         "end $$")};
}

QStringList PostgresBackend::quotaUpgradeStatements() {
  // The append of a store made before lz_yeyme took the capacity from its
  // caller: it goes, whatever its arguments.
  return QStringList{schema::quotaTableSql(QStringLiteral("varchar")),
                     QStringLiteral("do $$ declare f regprocedure; begin\n"
                                    "  for f in select oid::regprocedure from pg_proc where proname = 'kg_append' "
                                    "and pronamespace = 'public'::regnamespace loop\n"
                                    "    execute format('drop function %s', f);\n"
                                    "  end loop;\n"
                                    "end $$")} +
         appendStatements();
}

QStringList PostgresBackend::dropStatements() {
  return {QStringLiteral("drop table if exists lz_kttb"),      QStringLiteral("drop table if exists lz_yjxxk"),
          QStringLiteral("drop table if exists lz_xzcz"),      QStringLiteral("drop table if exists lz_yeyme"),
          QStringLiteral("drop function if exists getdate()"), QStringLiteral("drop function if exists kg_append"),
          QStringLiteral("drop function if exists kg_lock")};
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

QStringList PostgresBackend::loginStatements(bool exists, const QString &user, const QString &quotedPassword,
                                             int connections) {
  // Role statements take no parameters: the caller has checked the name and
  // quoted the password.
  return {QStringLiteral("%1 role %2 login password %3 nosuperuser nocreatedb nocreaterole noreplication "
                         "connection limit %4")
              .arg(exists ? QStringLiteral("alter") : QStringLiteral("create"), user, quotedPassword)
              .arg(connections),
          // Defaults a session of the login gave its role (a login may set
          // its own) go; the client sets what its statements rely on when it
          // connects.
          QStringLiteral("alter role %1 reset all").arg(user)};
}

QStringList PostgresBackend::loginRightsStatements(const QString &user, const QString &database, const QString &owner) {
  return {
      // What the windows issue: the selects, getdate() and the append, which
      // runs with its owner's rights. Nothing on the tables beyond select.
      QStringLiteral("revoke all on lz_kttb, lz_xzcz, lz_yjxxk, lz_yeyme from %1").arg(user),
      QStringLiteral("grant connect on database \"%1\" to %2").arg(database, user),
      QStringLiteral("grant usage on schema public to %1").arg(user),
      QStringLiteral("revoke create on schema public from public"),
      QStringLiteral("grant select on lz_kttb, lz_xzcz, lz_yjxxk to %1").arg(user),
      QStringLiteral("grant execute on function getdate(), kg_append to %1").arg(user),
      // Rights every login has through PUBLIC in this database are taken from
      // PUBLIC and given back to every other login by name, so that only this
      // one goes without: ending or cancelling sessions, large objects and
      // notifications (which write outside the tables), temporary tables; the
      // advisory locks go to the append's owner alone. Nothing is touched in
      // any other database.
      QStringLiteral(
          "do $$\n"
          "declare\n"
          "  f regprocedure;\n"
          "  r name;\n"
          "begin\n"
          "  for f in select oid::regprocedure from pg_proc\n"
          "           where pronamespace = 'pg_catalog'::regnamespace and has_function_privilege('public', oid, "
          "'execute')\n"
          "             and (proname like '%%advisory%%' or proname like 'lo\\_%%' or proname in ('loread', "
          "'lowrite', 'pg_notify', 'pg_terminate_backend', 'pg_cancel_backend')) loop\n"
          "    execute format('revoke execute on function %%s from public', f);\n"
          "    execute format('grant execute on function %%s to %%I', f, '%2');\n"
          "    if f::text not like '%%advisory%%' then\n"
          "      for r in select rolname from pg_roles where rolcanlogin and not rolsuper and rolname <> '%1' loop\n"
          "        execute format('grant execute on function %%s to %%I', f, r);\n"
          "      end loop;\n"
          "    end if;\n"
          "  end loop;\n"
          "  execute format('revoke temporary on database %%I from public', current_database());\n"
          "  for r in select rolname from pg_roles where rolcanlogin and not rolsuper and rolname <> '%1' loop\n"
          "    execute format('grant temporary on database %%I to %%I', current_database(), r);\n"
          "  end loop;\n"
          "end $$")
          .arg(user, owner)
          .replace(QStringLiteral("%%"), QStringLiteral("%"))};
}

QString PostgresBackend::lockOwnerStatement(const QString &user, const QString &owner) {
  return QStringLiteral("grant %1 to %2").arg(user, owner);
}

QString PostgresBackend::temporaryFilesStatement(const QString &user) {
  return QStringLiteral("alter role %1 set temp_file_limit = '64MB'").arg(user);
}
