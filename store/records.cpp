#include "store/records.h"

#include "store/backend.h"
#include "store/driver.h"

namespace schema {

const char *const kRecordedColumn = "记录时间";
const char *const kAuditTable = "lz_xgjl";

QStringList recordedColumns() { return applicationColumns() + QStringList{QString::fromUtf8(kRecordedColumn)}; }

QString auditTableSql(const QString &serial, const QString &stamp, const QString &stampDefault, const QString &text,
                      const QString &longText) {
  return QStringLiteral("create table lz_xgjl (序号 %1 primary key, 时间 %2 not null%3, 操作人 %4(64) not null, "
                        "操作 %4(10) not null, 身份证号 %4(18), 列名 %4(400), 原值 %5, 新值 %5, 原因 %4(500))")
      .arg(serial, stamp, stampDefault, text, longText);
}

namespace {

// Runs each statement with as many of the values, in order, as it has ? marks.
void runWith(StoreBackend &connection, const QStringList &statements, const QVariantList &values) {
  int next = 0;
  for (const QString &statement : statements) {
    const int marks = int(statement.count(QLatin1Char('?')));
    connection.run(statement, values.mid(next, marks));
    next += marks;
  }
}

} // namespace

QStringList recordStatements(Dialect dialect) { return drivers::forDialect(dialect).recordStatements(); }

QStringList dropRecordStatements(Dialect dialect) { return drivers::forDialect(dialect).dropRecordStatements(); }

bool hasRecords(StoreBackend &connection) {
  return columnsOf(connection, QStringLiteral("lz_yjxxk")).contains(QString::fromUtf8(kRecordedColumn));
}

bool addRecords(StoreBackend &connection) {
  if (hasRecords(connection))
    return false;
  runInTransaction(connection, recordStatements(connection.dialect()));
  return true;
}

void setAuditContext(StoreBackend &connection, const QString &who, const QString &operation, const QString &reason) {
  runWith(connection, drivers::forDialect(connection.dialect()).auditContextStatements(), {who, operation, reason});
}

void clearAuditContext(StoreBackend &connection) {
  runWith(connection, drivers::forDialect(connection.dialect()).clearAuditContextStatements(), {});
}

} // namespace schema
