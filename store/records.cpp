#include "store/records.h"

#include "store/driver.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

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

QString errorText(const QSqlError &error) {
  const QString text = error.databaseText().trimmed();
  return text.isEmpty() ? error.text().trimmed() : text;
}

// Runs each statement with as many of the values, in order, as it has ? marks.
void runWith(QSqlDatabase &db, const QStringList &statements, const QVariantList &values) {
  int next = 0;
  for (const QString &statement : statements) {
    QSqlQuery query(db);
    if (!query.prepare(statement))
      throw StoreError(QStringLiteral("%1 (%2)").arg(errorText(query.lastError()), statement));
    for (int i = 0, marks = int(statement.count(QLatin1Char('?'))); i < marks; ++i)
      query.bindValue(i, values.value(next++));
    if (!query.exec())
      throw StoreError(QStringLiteral("%1 (%2)").arg(errorText(query.lastError()), statement));
  }
}

} // namespace

QStringList recordStatements(Dialect dialect) { return drivers::forDialect(dialect).recordStatements(); }

QStringList dropRecordStatements(Dialect dialect) { return drivers::forDialect(dialect).dropRecordStatements(); }

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
  runWith(db, drivers::forDialect(dialectOf(db)).auditContextStatements(), {who, operation, reason});
}

void clearAuditContext(QSqlDatabase &db) {
  runWith(db, drivers::forDialect(dialectOf(db)).clearAuditContextStatements(), {});
}

} // namespace schema
