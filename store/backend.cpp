#include "store/backend.h"

#include "store/backend_odbc.h"
#include "store/backend_postgres.h"
#include "store/backend_sqlite.h"

#include <QDateTime>

AppendRefused::AppendRefused(Reason reason, const QVariantMap &existing)
    : StoreError(reason == Reason::QuotaFull ? QStringLiteral("The append was refused: the quota is full")
                                             : QStringLiteral("The append was refused: %1 is already stored")
                                                   .arg(existing.value(QStringLiteral("身份证号")).toString())),
      m_reason(reason), m_existing(existing) {}

std::unique_ptr<StoreBackend> StoreBackend::create(const StoreLocation &location, int timeoutSeconds) {
  switch (location.backend) {
  case StoreLocation::Backend::SQLite: return std::make_unique<SqliteBackend>(location, timeoutSeconds);
  case StoreLocation::Backend::PostgreSQL: return std::make_unique<PostgresBackend>(location, timeoutSeconds);
  case StoreLocation::Backend::Odbc: return std::make_unique<OdbcBackend>(location, timeoutSeconds);
  }
  throw StoreError(QStringLiteral("Unknown kind of store"));
}

void StoreBackend::select(const QString &text, const QVariantList &values, Result &result) {
  const bool reused = connected();
  try {
    connect();
    execute(text, values, &result);
    return;
  } catch (const StoreError &) {
    const bool retry = reused && connectionLost();
    disconnect();
    if (!retry)
      throw;
  }
  try {
    connect();
    execute(text, values, &result);
  } catch (...) {
    disconnect();
    throw;
  }
}

void StoreBackend::insert(const NewRow &row) {
  try {
    connect();
    execute(backend::insertStatement(row), row.values, nullptr);
  } catch (...) {
    disconnect();
    throw;
  }
}

void StoreBackend::appendInTransaction(const NewRow &row, const AppendGuard &guard, const QString &tableHint) {
  const bool hasQuota = !guard.quotaColumn.isEmpty() && guard.capacity >= 0;
  const bool hasUnique = !guard.uniqueColumn.isEmpty();
  // Taking the locks only reads: when that fails on a kept connection that
  // turns out to be lost, it is tried once more on a new one. The insert is
  // never repeated.
  {
    const bool reused = connected();
    try {
      connect();
      beginAppend(guard);
    } catch (const StoreError &) {
      rollback();
      const bool retry = reused && connectionLost();
      disconnect();
      if (!retry)
        throw;
      try {
        connect();
        beginAppend(guard);
      } catch (...) {
        rollback();
        disconnect();
        throw;
      }
    }
  }

  const QString &table = row.table;
  const QString countQuota =
      QStringLiteral("select count(*) from %1%2 where %3 = ?").arg(table, tableHint, guard.quotaColumn);
  QStringList marks;
  for (qsizetype i = 0; i < row.columns.size(); ++i)
    marks << QStringLiteral("?");
  QStringList conditions;
  QVariantList guardedValues = row.values;
  if (hasQuota) {
    conditions << QStringLiteral("(%1) < ?").arg(countQuota);
    guardedValues << guard.quotaValue << guard.capacity;
  }
  if (hasUnique) {
    conditions
        << QStringLiteral("not exists (select 1 from %1%2 where %3 = ?)").arg(table, tableHint, guard.uniqueColumn);
    guardedValues << guard.uniqueValue;
  }
  const QString guardedInsert =
      conditions.isEmpty() ? backend::insertStatement(row)
                           : QStringLiteral("insert into %1 (%2) select %3 where %4")
                                 .arg(table, row.columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")),
                                      conditions.join(QStringLiteral(" and ")));

  // The unique key of the table (the identity number, unless the guard names
  // another column) reports a refused insert as the duplicate it is.
  QString keyColumn = guard.uniqueColumn;
  QVariant keyValue = guard.uniqueValue;
  if (keyColumn.isEmpty() && row.columns.contains(QStringLiteral("身份证号"))) {
    keyColumn = QStringLiteral("身份证号");
    keyValue = row.value(keyColumn);
  }
  const QString uniqueSelect = QStringLiteral("select * from %1 where %2 = ?").arg(table, keyColumn);
  int inserted = 0;
  try {
    inserted = execute(guardedInsert, guardedValues, nullptr);
  } catch (const StoreError &error) {
    rollback();
    // The unique key on the identity number is the last line of defence: an
    // insert it refused is a duplicate, reported with the row that holds it.
    Result existing;
    try {
      if (!keyColumn.isEmpty())
        execute(uniqueSelect, {keyValue}, &existing);
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
      if (hasQuota) {
        Result counted;
        execute(countQuota, {guard.quotaValue}, &counted);
        if (!counted.rows.isEmpty() && counted.rows.first().value(0).toLongLong() >= guard.capacity) {
          rollback();
          throw AppendRefused(AppendRefused::Reason::QuotaFull, {});
        }
      }
      Result existing;
      if (hasUnique)
        execute(QStringLiteral("select * from %1%2 where %3 = ?").arg(table, tableHint, guard.uniqueColumn),
                {guard.uniqueValue}, &existing);
      rollback();
      if (!existing.rows.isEmpty())
        throw AppendRefused(AppendRefused::Reason::Duplicate, backend::rowMap(existing, 0));
      throw StoreError(QStringLiteral("The store added %1 rows instead of one: %2").arg(inserted).arg(guardedInsert));
    } catch (const AppendRefused &) {
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

namespace backend {

QString insertStatement(const NewRow &row) {
  QStringList marks;
  for (qsizetype i = 0; i < row.columns.size(); ++i)
    marks << QStringLiteral("?");
  return QStringLiteral("insert into %1 (%2) values (%3)")
      .arg(row.table, row.columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
}

QVariantMap rowMap(const Result &result, int row) {
  QVariantMap map;
  const ResultRow &values = result.rows.at(row);
  for (int i = 0; i < result.columns.size() && i < values.size(); ++i)
    map.insert(result.columns.at(i), values.value(i));
  return map;
}

bool boundAsNull(const QVariant &value) {
  if (value.isNull())
    return true;
  switch (value.typeId()) {
  case QMetaType::QString: return static_cast<const QString *>(value.constData())->isNull();
  case QMetaType::QByteArray: return static_cast<const QByteArray *>(value.constData())->isNull();
  case QMetaType::QDateTime: return static_cast<const QDateTime *>(value.constData())->isNull();
  case QMetaType::QDate: return static_cast<const QDate *>(value.constData())->isNull();
  case QMetaType::QTime: return static_cast<const QTime *>(value.constData())->isNull();
  default: return false;
  }
}

QString wallClockText(const QVariant &value) {
  if (value.typeId() == QMetaType::QDateTime)
    return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  if (value.typeId() == QMetaType::QDate)
    return value.toDate().toString(QStringLiteral("yyyy-MM-dd"));
  return value.toString();
}

} // namespace backend
