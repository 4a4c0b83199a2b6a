#include "store/driver.h"
#include "store/sqlite/backend.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QVariant>
#include <sqlite3.h>

namespace {

class SqliteDriver final : public StoreDriver {
public:
  std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const override {
    return std::make_unique<SqliteBackend>(location, timeoutSeconds);
  }
  QSqlDatabase addAdminConnection(const QString &name, const StoreLocation &location) const override {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(location.file);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    return db;
  }
  // getdate() on the freshly opened connection (each open makes a new
  // handle).
  void prepare(QSqlDatabase &db) const override {
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
      throw StoreError(QStringLiteral("Not an SQLite connection"));
    sqlite3 *sqlite = *static_cast<sqlite3 *const *>(handle.data());
    if (!sqlite)
      throw StoreError(QStringLiteral("The SQLite connection is not open"));
    SqliteBackend::installGetdate(sqlite);
  }
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
