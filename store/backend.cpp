#include "store/backend.h"

#include "core/gbk.h"
#include "store/driver.h"
#include "store/schema.h"

#include <QDateTime>

AppendRefused::AppendRefused(Reason reason, const QVariantMap &existing)
    : StoreError(reason == Reason::QuotaFull ? QStringLiteral("The append was refused: the quota is full")
                                             : QStringLiteral("The append was refused: %1 is already stored")
                                                   .arg(existing.value(QStringLiteral("身份证号")).toString())),
      m_reason(reason), m_existing(existing) {}

std::unique_ptr<StoreBackend> StoreBackend::create(const StoreLocation &location, int timeoutSeconds) {
  return drivers::forLocation(location).connect(location, timeoutSeconds);
}

void StoreBackend::select(const QString &text, const QVariantList &values, Result &result) {
  const bool reused = connected();
  try {
    connect();
    execute(text, values, &result);
    return;
  } catch (const StoreError &) {
    // A statement given up at the time limit has ended the connection already.
    const bool retry = reused && connected() && connectionLost();
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

int StoreBackend::run(const QString &text, const QVariantList &values, Result *result) {
  connect();
  return execute(text, values, result);
}

void StoreBackend::beginTransaction() { run(drivers::forDialect(dialect()).beginStatement()); }

void StoreBackend::commitTransaction() { run(QStringLiteral("commit")); }

void StoreBackend::rollbackTransaction() {
  try {
    if (connected())
      execute(QStringLiteral("rollback"), {}, nullptr);
  } catch (const StoreError &) {
    // A connection that is gone has rolled back with the server.
  }
}

schema::Dialect StoreBackend::dialect() {
  if (!m_dialect)
    m_dialect = drivers::forLocation(m_location).dialect(*this);
  return *m_dialect;
}

bool StoreBackend::readBack(const NewRow &row) {
  Result stored;
  execute(QStringLiteral("select %1 from %2 where 身份证号 = ?").arg(row.columns.join(QStringLiteral(", ")), row.table),
          {row.value(QStringLiteral("身份证号"))}, &stored);
  if (stored.rows.isEmpty())
    return false;
  // Only the row this client sent counts: another client's application for
  // the same child is not this one's.
  for (int i = 0; i < row.columns.size(); ++i) {
    if (backend::wallClockText(row.values.at(i)) != backend::wallClockText(stored.rows.first().value(i)))
      return false;
  }
  return true;
}

void StoreBackend::refuseUnlessStored(int outcome, const NewRow &row) {
  if (outcome == kStored)
    return;
  if (outcome == kQuotaFull)
    throw AppendRefused(AppendRefused::Reason::QuotaFull, {});
  if (outcome == kDuplicate) {
    // Read after the append's transaction ended: the row is stored for good.
    Result existing;
    execute(QStringLiteral("select * from %1 where 身份证号 = ?").arg(row.table),
            {row.value(QStringLiteral("身份证号"))}, &existing);
    if (!existing.rows.isEmpty())
      throw AppendRefused(AppendRefused::Reason::Duplicate, backend::rowMap(existing, 0));
  }
  throw StoreError(QStringLiteral("The append gave the unknown outcome %1").arg(outcome));
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

QVariantList appendArguments(const NewRow &row, const AppendGuard &guard) {
  const QString quotaColumn = QStringLiteral("申请幼儿园名称");
  const QString uniqueColumn = QStringLiteral("身份证号");
  const QStringList &columns = schema::applicationColumns();
  bool fits = row.table.compare(QLatin1String("lz_yjxxk"), Qt::CaseInsensitive) == 0 &&
              guard.quotaColumn == quotaColumn && guard.uniqueColumn == uniqueColumn;
  for (const QString &column : row.columns)
    fits = fits && columns.contains(column);
  if (!fits)
    throw StoreError(QStringLiteral("The guarded append stores applications in lz_yjxxk only, guarded by %1 and %2")
                         .arg(quotaColumn, uniqueColumn));
  QVariantList arguments;
  for (const QString &column : columns) {
    QVariant value = row.value(column);
    if (column == quotaColumn)
      value = guard.quotaValue;
    else if (column == uniqueColumn)
      value = guard.uniqueValue;
    arguments << value;
  }
  return arguments;
}

void requireGbk(const NewRow &row) {
  for (int i = 0; i < row.columns.size(); ++i) {
    const QVariant &value = row.values.at(i);
    if (value.typeId() == QMetaType::QString && !gbk::encodable(value.toString()))
      throw StoreError(
          QStringLiteral("%1 holds a character that GBK cannot encode; nothing was stored").arg(row.columns.at(i)));
  }
}

} // namespace backend
