#include "store/driver.h"
#include "store/sqlite/backend.h"

#include <QDir>
#include <QFileInfo>
#include <QVariant>

namespace {

class SqliteDriver final : public StoreDriver {
public:
  std::optional<StoreLocation> parse(const QString &text) const override {
    if (!text.startsWith(QLatin1String("sqlite:")))
      return std::nullopt;
    StoreLocation location;
    location.backend = StoreLocation::Backend::SQLite;
    location.file = text.mid(7);
    if (location.file.isEmpty())
      StoreLocation::refuse(text, QStringLiteral("no database file after sqlite:"));
    return location;
  }
  QString setting(const StoreLocation &location) const override { return QStringLiteral("sqlite:") + location.file; }
  QString describe(const StoreLocation &location) const override {
    return QStringLiteral("SQLite file %1").arg(location.file);
  }
  std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const override {
    return std::make_unique<SqliteBackend>(location, timeoutSeconds);
  }
  schema::Dialect dialect(StoreBackend &) const override { return schema::Dialect::SQLite; }
  QStringList createStatements() const override { return SqliteBackend::createStatements(); }
  QStringList dropStatements() const override { return SqliteBackend::dropStatements(); }
  QStringList quotaUpgradeStatements() const override { return {schema::quotaTableSql(QStringLiteral("varchar"))}; }
  QStringList recordStatements() const override { return SqliteBackend::recordStatements(); }
  QStringList dropRecordStatements() const override { return SqliteBackend::dropRecordStatements(); }
  QStringList auditContextStatements() const override { return SqliteBackend::auditContextStatements(); }
  QStringList clearAuditContextStatements() const override { return SqliteBackend::clearAuditContextStatements(); }
  // The embedded store takes its write lock at once, so that a check made
  // in the transaction still holds at its end; it holds off every other
  // writer from there.
  QString beginStatement() const override { return QStringLiteral("begin immediate"); }
  QVariant filingDate(const QDate &date) const override {
    return date.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(" 00:00:00");
  }
  bool appendOnServer() const override { return false; }
  QString columnsStatement() const override { return QStringLiteral("select name from pragma_table_info(?)"); }
  // getdate() is the local time plus the offset kept in kg_clock
  // (SqliteBackend::installGetdate).
  QStringList clockStatements(qint64 offsetSeconds) const override {
    return {QStringLiteral("create table if not exists kg_clock (offset_seconds integer not null)"),
            QStringLiteral("delete from kg_clock"),
            QStringLiteral("insert into kg_clock (offset_seconds) values (%1)").arg(offsetSeconds)};
  }
  QString clockOffsetStatement() const override {
    return QStringLiteral("select offset_seconds from kg_clock limit 1");
  }
  void prepareNewStore(const StoreLocation &location) const override {
    if (location.file == StoreLocation::embeddedFile())
      QDir().mkpath(QFileInfo(location.file).absolutePath());
  }
  QString copyName(const StoreLocation &location) const override { return QFileInfo(location.file).completeBaseName(); }
  QString copySuffix() const override { return QStringLiteral("db"); }
  void writeCopy(const StoreLocation &location, const QString &file) const override {
    sqlitecopies::copy(location.file, file, true);
  }
  QString copyProblem(const StoreLocation &, const QString &file) const override {
    return sqlitecopies::isStoreFile(file)
               ? QString()
               : QStringLiteral("not a copy of an embedded store (not a whole SQLite database holding lz_yjxxk)");
  }
  // The online backup writes the whole file in one transaction of the
  // store's.
  void restoreCopy(const StoreLocation &location, const QString &file) const override {
    sqlitecopies::copy(file, location.file, false);
  }
};

} // namespace

const StoreDriver &sqliteDriver() {
  static const SqliteDriver driver;
  return driver;
}
