#include "store/driver.h"
#include "store/odbc/backend.h"

namespace {

class OdbcDriver final : public StoreDriver {
public:
  std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const override {
    return std::make_unique<OdbcBackend>(location, timeoutSeconds);
  }
  // PostgreSQL lists its catalog among the schemas; SQL Server has none of
  // that name.
  schema::Dialect dialect(StoreBackend &connection) const override {
    Result found;
    connection.run(QStringLiteral("select count(*) from INFORMATION_SCHEMA.SCHEMATA where SCHEMA_NAME = 'pg_catalog'"),
                   {}, &found);
    return !found.rows.isEmpty() && found.rows.first().value(0).toInt() > 0 ? schema::Dialect::PostgreSQL
                                                                            : schema::Dialect::SqlServer;
  }
  // SQL Server's statements; a PostgreSQL server reached through ODBC
  // speaks PostgreSQL's (drivers::forDialect).
  QStringList createStatements() const override { return OdbcBackend::createStatements(); }
  QStringList dropStatements() const override { return OdbcBackend::dropStatements(); }
  QStringList quotaUpgradeStatements() const override { return OdbcBackend::quotaUpgradeStatements(); }
  QStringList recordStatements() const override { return OdbcBackend::recordStatements(); }
  QStringList dropRecordStatements() const override { return OdbcBackend::dropRecordStatements(); }
  QStringList auditContextStatements() const override { return OdbcBackend::auditContextStatements(); }
  QStringList clearAuditContextStatements() const override { return OdbcBackend::clearAuditContextStatements(); }
  // SQL Server keeps its copies itself.
  void refuseCopies(const QString &command) const override {
    throw StoreError(QStringLiteral("%1: a SQL Server store is copied on its server (BACKUP DATABASE / RESTORE "
                                    "DATABASE), not by kgadmin")
                         .arg(command));
  }
  QString textPrefix() const override { return QStringLiteral("N"); }
  QString holdAppendsStatement() const override {
    return QStringLiteral("select count(*) from lz_yjxxk with (tablockx, holdlock)");
  }
  QString statementEnd() const override { return QStringLiteral(";\nGO\n"); }
  QString copyName(const StoreLocation &location) const override { return location.database; }
  QString copySuffix() const override { return QStringLiteral("dump"); }
  void writeCopy(const StoreLocation &, const QString &) const override { refuseCopies(QStringLiteral("backup")); }
  // Read on the server, when it is opened.
  QString copyProblem(const StoreLocation &, const QString &) const override { return {}; }
  void restoreCopy(const StoreLocation &, const QString &) const override { refuseCopies(QStringLiteral("restore")); }
};

} // namespace

const StoreDriver &odbcDriver() {
  static const OdbcDriver driver;
  return driver;
}
