#include "store/driver.h"
#include "store/postgres/backend.h"

namespace {

class PostgresDriver final : public StoreDriver {
public:
  std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const override {
    return std::make_unique<PostgresBackend>(location, timeoutSeconds);
  }
  QSqlDatabase addAdminConnection(const QString &name, const StoreLocation &location) const override {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    QString options = QStringLiteral("connect_timeout=10");
    if (location.alternates.isEmpty()) {
      db.setHostName(location.host);
      db.setPort(location.port);
    } else {
      // Every server in turn, as the client tries them.
      QStringList hosts{location.host}, ports{QString::number(location.port)};
      for (const StoreLocation::Server &server : location.alternates) {
        hosts << server.host;
        ports << QString::number(server.port);
      }
      db.setHostName(hosts.join(QLatin1Char(',')));
      options += QStringLiteral(";port=") + ports.join(QLatin1Char(','));
    }
    if (!location.targetSessionAttrs.isEmpty())
      options += QStringLiteral(";target_session_attrs=") + location.targetSessionAttrs;
    db.setDatabaseName(location.database);
    db.setUserName(location.user);
    db.setPassword(location.password);
    db.setConnectOptions(options);
    return db;
  }
  QStringList createStatements() const override { return PostgresBackend::createStatements(); }
  QStringList dropStatements() const override { return PostgresBackend::dropStatements(); }
  QStringList quotaUpgradeStatements() const override { return PostgresBackend::quotaUpgradeStatements(); }
  QStringList recordStatements() const override { return PostgresBackend::recordStatements(); }
  QStringList dropRecordStatements() const override { return PostgresBackend::dropRecordStatements(); }
  QStringList auditContextStatements() const override { return PostgresBackend::auditContextStatements(); }
  QStringList clearAuditContextStatements() const override { return PostgresBackend::clearAuditContextStatements(); }
};

} // namespace

const StoreDriver &postgresDriver() {
  static const PostgresDriver driver;
  return driver;
}
