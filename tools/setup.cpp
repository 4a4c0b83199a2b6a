// kgadmin's set-up commands: init, open-filing, close-filing, set-version,
// set-clock, print-schema, status.

#include "tools/admin.h"

#include "filing/catchment.h"
#include "store/records.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace admin {

int init(const QStringList &args) {
  QStringList rest = args;
  const bool force = rest.removeAll(QStringLiteral("--force")) > 0;
  expectStoreArguments(rest, 2);
  const StoreLocation location = storeArgument(rest, 1);
  drivers::forLocation(location).prepareNewStore(location);
  Store store(location, true);
  store.takeTurn();
  const bool replacing = schema::hasTables(store.connection());
  if (replacing && !force) {
    err() << "init: " << location.describe()
          << " already holds registration tables; nothing changed. Use --force to replace them "
             "(a copy of the stored applications is written first).\n";
    return kStoreFailed;
  }
  // The applications a forced init would wipe out are copied first; without
  // a copy nothing is replaced.
  const int stored = replacing && schema::hasTable(store.connection(), QStringLiteral("lz_yjxxk"))
                         ? store.value(QStringLiteral("select count(*) from lz_yjxxk")).toInt()
                         : 0;
  QString copy;
  if (stored > 0) {
    try {
      copy = safetyCopy(store);
    } catch (const StoreError &error) {
      err() << "init: nothing changed (" << stored << " application(s) stored): " << error.message() << "\n";
      return kStoreFailed;
    }
  }
  try {
    schema::create(store.connection(), force);
  } catch (const StoreError &error) {
    err() << "init: nothing changed: " << error.message() << "\n";
    if (!copy.isEmpty())
      err() << "init: the copy written first is " << copy << "\n";
    return kStoreFailed;
  }
  if (!copy.isEmpty())
    out() << "init: the " << stored << " stored application(s) were copied to " << copy << "\n";
  out() << "init: created lz_kttb, lz_yjxxk, lz_xzcz and lz_yeyme in " << location.describe()
        << " (filing open, version " << schema::kReferenceVersion << ", " << schema::communities().size()
        << " communities, the capacities of " << quota::table().size() << " kindergartens)\n";
  return kDone;
}

int setFiling(const QStringList &args, bool open) {
  expectStoreArguments(args, 2);
  Store store(storeArgument(args, 1));
  store.requireTables();
  const QVariant value(open);
  if (store.run(QStringLiteral("select count(*) from lz_kttb")).first().first().toInt() == 0)
    store.run(QStringLiteral("insert into lz_kttb (幼儿园填报) values (?)"), {value});
  else
    store.run(QStringLiteral("update lz_kttb set 幼儿园填报 = ?"), {value});
  out() << args.at(0) << ": filing is now " << (open ? "open" : "closed") << "\n";
  return kDone;
}

int setVersion(const QStringList &args) {
  expectStoreArguments(args, 3);
  Store store(storeArgument(args, 1));
  store.requireTables();
  const QString version = args.at(2);
  if (store.run(QStringLiteral("select count(*) from lz_kttb")).first().first().toInt() == 0)
    store.run(QStringLiteral("insert into lz_kttb (幼儿园填报, 幼儿园版本) values (?, ?)"), {QVariant(false), version});
  else
    store.run(QStringLiteral("update lz_kttb set 幼儿园版本 = ?"), {version});
  out() << "set-version: the store now requires client version \"" << version << "\"\n";
  return kDone;
}

int setClock(const QStringList &args) {
  expectStoreArguments(args, 3);
  const StoreLocation location = storeArgument(args, 1);
  QDateTime when;
  if (args.at(2) == QLatin1String("now")) {
    when = QDateTime::currentDateTime();
  } else {
    // Four digits of year and no sign; the clock goes on from the time set,
    // so the last day is 9999-12-30 (a clock on 9999-12-31 would run into
    // the year 10000, which no date text of the client can hold).
    static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$"));
    when = QDateTime::fromString(args.at(2), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!form.match(args.at(2)).hasMatch() || !when.isValid())
      throw UsageError{
          QStringLiteral("set-clock: \"%1\" is not a date and time of the form yyyy-MM-dd HH:mm:ss").arg(args.at(2))};
    if (when.date() < QDate(1900, 1, 1) || when.date() > QDate(9999, 12, 30))
      throw UsageError{QStringLiteral("set-clock: \"%1\" lies outside 1900-01-01 to 9999-12-30").arg(args.at(2))};
  }
  Store store(location);
  store.requireTables();
  if (!schema::setClock(store.connection(), when)) {
    err() << "set-clock: not possible on " << location.describe()
          << ": the server answers getdate() from its own clock; set the server's clock instead.\n";
    return kStoreFailed;
  }
  out() << "set-clock: getdate() now answers " << when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        << " and goes on from there (offset " << schema::clockOffset(store.connection()).value_or(0) << " s)\n";
  return kDone;
}

int printSchema(const QStringList &args) {
  expectArguments(args, 2);
  const QString kind = args.at(1);
  const std::optional<schema::Dialect> named = drivers::dialectNamed(kind);
  if (!named)
    throw UsageError{QStringLiteral("print-schema: \"%1\" is none of sqlite, postgres, mssql").arg(kind)};
  const schema::Dialect dialect = *named;
  const QString end = drivers::forDialect(dialect).statementEnd();
  for (const QString &statement :
       schema::createStatements(dialect) + schema::recordStatements(dialect) + schema::referenceStatements(dialect))
    out() << statement << end;
  return kDone;
}

int status(const QStringList &args) {
  expectStoreArguments(args, 2);
  const StoreLocation location = storeArgument(args, 1);
  QueryObject query(QStringLiteral("kgadmin"), 30, location);
  if (!schema::hasTables(query.connection()))
    throw StoreError(
        QStringLiteral("%1 holds no registration tables; run kgadmin init first").arg(location.describe()));
  out() << "store:    " << location.describe() << "\n";
  query.setSql(Statement::plain(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb")));
  query.open();
  if (query.rowCount() == 0) {
    out() << "filing:   lz_kttb has no row (the client refuses: version differs)\n";
  } else {
    const QVariant open = query.fieldValue(QStringLiteral("幼儿园填报"));
    out() << "filing:   "
          << (open.isNull()                                        ? QStringLiteral("NULL (closed)")
              : query.fieldAsBoolean(QStringLiteral("幼儿园填报")) ? QStringLiteral("open")
                                                                   : QStringLiteral("closed"))
          << "\n";
    out() << "version:  \"" << query.fieldAsString(QStringLiteral("幼儿园版本")) << "\"\n";
    if (query.rowCount() > 1)
      out() << "          (" << query.rowCount() << " rows in lz_kttb; the client reads the first)\n";
  }
  query.close();
  query.clearSql();
  query.addSql(QStringLiteral("select getdate() as 日期"));
  query.open();
  out() << "clock:    getdate() = " << shown(query.fieldValue(QStringLiteral("日期")));
  if (const std::optional<qint64> offset = schema::clockOffset(query.connection()))
    out() << " (offset " << *offset << " s)";
  out() << "\n";
  query.close();
  Result rows;
  query.connection().run(QStringLiteral("select 申请幼儿园名称, count(*) from lz_yjxxk group by 申请幼儿园名称 "
                                        "order by 申请幼儿园名称"),
                         {}, &rows);
  int total = 0;
  out() << "applications per kindergarten:\n";
  for (const ResultRow &row : rows.rows) {
    out() << "  " << shown(row.value(0)) << "  " << row.value(1).toInt() << "\n";
    total += row.value(1).toInt();
  }
  out() << "  total  " << total << "\n";
  return kDone;
}

} // namespace admin
