#include "store/schema.h"

#include "filing/catchment.h"
#include "store/backend.h"
#include "store/driver.h"
#include "store/records.h"
#include "store/store.h"

namespace schema {

const char *const kReferenceVersion = "202206181";

namespace {

// Communities of both streets in list order, with the group count of each
// (0 for the three communities that have no groups). "其他" stands at the end
// of both streets; lz_xzcz keys on the community text alone, so it has one row.
const Community kCommunities[] = {
    {"东澄街道", "和平社区", 6},           {"东澄街道", "西岭社区", 8},
    {"东澄街道", "北塘社区", 5},           {"东澄街道", "南苑社区", 7},
    {"东澄街道", "文兴社区", 4},           {"东澄街道", "石桥社区", 9},
    {"东澄街道", "西塘社区", 3},           {"东澄街道", "其他", 0},
    {"西岭街道", "正阳社区", 12},          {"西岭街道", "新安社区", 10},
    {"西岭街道", "李桥社区青云路以东", 0}, {"西岭街道", "李桥社区", 0},
    {"西岭街道", "太平社区", 6},           {"西岭街道", "槐荫社区", 5},
    {"西岭街道", "回龙社区", 11},          {"西岭街道", "其他", 0},
};

struct Column {
  const char *name;
  int length; // characters; 0: the filing date-time
};

// Lengths in characters hold the longest values the client writes (its byte
// limits are at least as many characters), with room to spare.
const Column kApplicationColumns[] = {
    {"姓名", 20},         {"性别", 4},          {"身份证号", 18},       {"申请幼儿园名称", 40}, {"部别", 10},
    {"民族", 10},         {"出生日期", 10},     {"区县", 20},           {"镇乡或街道", 20},     {"村或社区", 40},
    {"组", 10},           {"户主姓名", 20},     {"户主与儿童关系", 10}, {"户口簿详细地址", 60}, {"入户日期", 10},
    {"监护人一姓名", 20}, {"监护人一电话", 20}, {"监护人二姓名", 20},   {"监护人二电话", 20},   {"填报日期", 0},
};

QString quoted(const QString &text) {
  QString value = text;
  value.replace(QLatin1Char('\''), QStringLiteral("''"));
  return QLatin1Char('\'') + value + QLatin1Char('\'');
}

} // namespace

const QStringList &applicationColumns() {
  static const QStringList names = [] {
    QStringList list;
    for (const Column &column : kApplicationColumns)
      list << QString::fromUtf8(column.name);
    return list;
  }();
  return names;
}

int applicationColumnLength(const QString &column) {
  for (const Column &known : kApplicationColumns) {
    if (column == QString::fromUtf8(known.name))
      return known.length;
  }
  return 0;
}

QString applicationColumnsSql(const QString &textType, const QString &stampType) {
  QStringList columns;
  for (const Column &column : kApplicationColumns) {
    const QString name = QString::fromUtf8(column.name);
    if (column.length == 0)
      columns << name + QLatin1Char(' ') + stampType;
    else if (name == QStringLiteral("身份证号"))
      columns << QStringLiteral("%1 %2(%3) not null").arg(name, textType).arg(column.length);
    else
      columns << QStringLiteral("%1 %2(%3)").arg(name, textType).arg(column.length);
  }
  columns << QStringLiteral("constraint uq_lz_yjxxk_sfzh unique (身份证号)");
  return columns.join(QStringLiteral(", "));
}

QString quotaTableSql(const QString &textType) {
  return QStringLiteral("create table lz_yeyme (申请幼儿园名称 %1(40) not null primary key, "
                        "名额 integer not null check (名额 >= 0))")
      .arg(textType);
}

QStringList createStatements(Dialect dialect) { return drivers::forDialect(dialect).createStatements(); }

QStringList referenceStatements(Dialect dialect) {
  const QString yes = drivers::forDialect(dialect).trueLiteral();
  const QString prefix = drivers::forDialect(dialect).textPrefix();
  QStringList statements;
  statements << QStringLiteral("insert into lz_kttb (幼儿园填报, 幼儿园版本) values (%1, '%2')")
                    .arg(yes, QLatin1String(kReferenceVersion));
  QStringList seen;
  for (const Community &community : kCommunities) {
    const QString name = QString::fromUtf8(community.name);
    if (seen.contains(name))
      continue;
    seen << name;
    statements << QStringLiteral("insert into lz_xzcz (村或社区, 组数) values (%1%2, %3)")
                      .arg(prefix, quoted(name))
                      .arg(community.groups);
  }
  return statements + quotaStatements(dialect);
}

QStringList quotaStatements(Dialect dialect) {
  const QString prefix = drivers::forDialect(dialect).textPrefix();
  QStringList statements{QStringLiteral("delete from lz_yeyme")};
  for (const quota::Entry &entry : quota::table())
    statements << QStringLiteral("insert into lz_yeyme (申请幼儿园名称, 名额) values (%1%2, %3)")
                      .arg(prefix, quoted(QString::fromUtf8(entry.kindergarten)))
                      .arg(entry.capacity);
  return statements;
}

QStringList dropStatements(Dialect dialect) { return drivers::forDialect(dialect).dropStatements(); }

void runInTransaction(StoreBackend &connection, const QStringList &statements) {
  connection.beginTransaction();
  try {
    for (const QString &statement : statements)
      connection.run(statement);
    connection.commitTransaction();
  } catch (...) {
    connection.rollbackTransaction();
    throw;
  }
}

QStringList columnsOf(StoreBackend &connection, const QString &table) {
  Result columns;
  connection.run(drivers::forDialect(connection.dialect()).columnsStatement(), {table.toLower()}, &columns);
  QStringList names;
  for (const ResultRow &row : columns.rows)
    names << row.value(0).toString();
  return names;
}

bool hasTable(StoreBackend &connection, const QString &table) { return !columnsOf(connection, table).isEmpty(); }

bool hasTables(StoreBackend &connection) {
  return hasTable(connection, QStringLiteral("lz_kttb")) || hasTable(connection, QStringLiteral("lz_yjxxk")) ||
         hasTable(connection, QStringLiteral("lz_xzcz"));
}

bool hasQuotas(StoreBackend &connection) { return hasTable(connection, QStringLiteral("lz_yeyme")); }

bool addQuotas(StoreBackend &connection) {
  const Dialect dialect = connection.dialect();
  const bool adding = !hasQuotas(connection);
  QStringList statements;
  if (adding)
    statements << drivers::forDialect(dialect).quotaUpgradeStatements();
  statements << quotaStatements(dialect);
  runInTransaction(connection, statements);
  return adding;
}

void create(StoreBackend &connection, bool replace) {
  const Dialect dialect = connection.dialect();
  QStringList statements;
  if (replace)
    statements << dropStatements(dialect) + dropRecordStatements(dialect);
  statements << createStatements(dialect) + recordStatements(dialect) + referenceStatements(dialect);
  runInTransaction(connection, statements);
}

std::span<const Community> communities() { return kCommunities; }

QStringList streets() {
  QStringList list;
  for (const Community &community : kCommunities) {
    const QString street = QString::fromUtf8(community.street);
    if (!list.contains(street))
      list << street;
  }
  return list;
}

QStringList communitiesOf(const QString &street) {
  QStringList list;
  for (const Community &community : kCommunities) {
    if (QString::fromUtf8(community.street) == street)
      list << QString::fromUtf8(community.name);
  }
  return list;
}

QStringList ungroupedCommunities() {
  return {QStringLiteral("李桥社区青云路以东"), QStringLiteral("李桥社区"), QStringLiteral("其他")};
}

std::optional<qint64> clockOffset(StoreBackend &connection) {
  const QString statement = drivers::forDialect(connection.dialect()).clockOffsetStatement();
  if (statement.isEmpty())
    return std::nullopt;
  Result offset;
  try {
    connection.run(statement, {}, &offset);
  } catch (const StoreError &) {
    return 0; // no clock set yet
  }
  return offset.rows.isEmpty() ? 0 : offset.rows.first().value(0).toLongLong();
}

bool setClock(StoreBackend &connection, const QDateTime &now) {
  const QStringList statements =
      drivers::forDialect(connection.dialect()).clockStatements(QDateTime::currentDateTime().secsTo(now));
  if (statements.isEmpty())
    return false;
  for (const QString &statement : statements)
    connection.run(statement);
  return true;
}

} // namespace schema
