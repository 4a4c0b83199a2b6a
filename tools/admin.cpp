#include "tools/admin.h"

#include "platform/console.h"
#include "store/records.h"

#include <QDateTime>

#ifndef Q_OS_WIN
#include <pwd.h>
#include <unistd.h>
#endif

namespace admin {

QTextStream &out() { return console::out(); }

QTextStream &err() { return console::err(); }

Store::Store(StoreLocation location, bool create) : m_location(location) {
  location.createFile = create;
  m_query = std::make_unique<QueryObject>(QStringLiteral("kgadmin"), 30, location);
  m_dialect = connection().dialect();
  for (const QString &statement : driver().adminSessionStatements())
    run(statement);
}

QList<QVariantList> Store::run(const QString &text, const QVariantList &values) {
  Result result;
  connection().run(text, values, &result);
  QList<QVariantList> rows;
  for (const ResultRow &stored : result.rows) {
    QVariantList row;
    for (int i = 0; i < stored.size(); ++i)
      row << stored.value(i);
    rows << row;
  }
  return rows;
}

QVariant Store::value(const QString &text, const QVariantList &values) {
  const QList<QVariantList> rows = run(text, values);
  return rows.isEmpty() || rows.first().isEmpty() ? QVariant() : rows.first().first();
}

void Store::requireTables() {
  if (!schema::hasTables(connection()))
    throw StoreError(
        QStringLiteral("%1 holds no registration tables; run kgadmin init first").arg(m_location.describe()));
}

void Store::requireRecords() {
  requireTables();
  if (!schema::hasRecords(connection()))
    throw StoreError(QStringLiteral("%1 was made before the recording time and the correction record; run kgadmin "
                                    "upgrade first")
                         .arg(m_location.describe()));
}

void Store::begin() { connection().beginTransaction(); }

void Store::commit() { connection().commitTransaction(); }

void Store::rollback() { connection().rollbackTransaction(); }

void Store::takeTurn() {
  const QString turn = driver().takeTurnStatement();
  if (turn.isEmpty())
    return;
  try {
    run(turn);
  } catch (const StoreError &error) {
    throw StoreError(QStringLiteral("another kgadmin command has been copying or replacing %1 for ten seconds; "
                                    "nothing changed: run this one again when it has ended (%2)")
                         .arg(m_location.describe(), error.message()));
  }
}

StoreLocation storeArgument(const QStringList &args, int index) {
  if (index >= args.size())
    throw UsageError{QStringLiteral("%1: the store is missing").arg(args.at(0))};
  try {
    return StoreLocation::parse(args.at(index));
  } catch (const StoreError &error) {
    throw UsageError{error.message()};
  }
}

void expectArguments(const QStringList &args, int count) {
  if (args.size() != count)
    throw UsageError{
        QStringLiteral("%1: expected %2 argument(s), got %3").arg(args.at(0)).arg(count - 1).arg(args.size() - 1)};
}

void expectStoreArguments(const QStringList &args, int count) {
  if (args.size() < 2)
    throw UsageError{QStringLiteral("%1: the store is missing").arg(args.at(0))};
  expectArguments(args, count);
}

QString takeOption(QStringList &args, const QString &name) {
  const int at = args.indexOf(name);
  if (at < 0)
    return {};
  if (at + 1 >= args.size())
    throw UsageError{QStringLiteral("%1: %2 needs a value").arg(args.at(0), name)};
  const QString value = args.at(at + 1);
  args.remove(at, 2);
  if (args.contains(name))
    throw UsageError{QStringLiteral("%1: %2 given twice").arg(args.at(0), name)};
  return value;
}

bool takeFlag(QStringList &args, const QString &name) { return args.removeAll(name) > 0; }

QString shown(const QVariant &value) {
  if (value.isNull())
    return QStringLiteral("NULL");
  if (value.typeId() == QMetaType::QDateTime) {
    const QDateTime when = value.toDateTime();
    return when.toString(when.time().msec() ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                            : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  }
  return value.toString();
}

QString recordedText(const QVariant &value) {
  if (value.isNull())
    return {};
  if (value.typeId() == QMetaType::QDateTime)
    return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
  // The embedded store keeps the text it wrote ("yyyy-MM-dd HH:mm:ss.zzz").
  return value.toString().replace(QLatin1Char('T'), QLatin1Char(' '));
}

QString operatorName() {
#ifdef Q_OS_WIN
  const QString name = qEnvironmentVariable("USERNAME");
#else
  QString name = qEnvironmentVariable("USER");
  if (name.isEmpty()) {
    const passwd *entry = getpwuid(getuid());
    name = entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
  }
#endif
  return name.isEmpty() ? QStringLiteral("kgadmin") : name;
}

} // namespace admin
