#include "store/driver.h"
#include "store/postgres/backend.h"

namespace {

class PostgresDriver final : public StoreDriver {
public:
  std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const override {
    return std::make_unique<PostgresBackend>(location, timeoutSeconds);
  }
  schema::Dialect dialect(StoreBackend &) const override { return schema::Dialect::PostgreSQL; }
  QStringList createStatements() const override { return PostgresBackend::createStatements(); }
  QStringList dropStatements() const override { return PostgresBackend::dropStatements(); }
  QStringList quotaUpgradeStatements() const override { return PostgresBackend::quotaUpgradeStatements(); }
  QStringList recordStatements() const override { return PostgresBackend::recordStatements(); }
  QStringList dropRecordStatements() const override { return PostgresBackend::dropRecordStatements(); }
  QStringList auditContextStatements() const override { return PostgresBackend::auditContextStatements(); }
  QStringList clearAuditContextStatements() const override { return PostgresBackend::clearAuditContextStatements(); }
  QString trueLiteral() const override { return QStringLiteral("true"); }
  // A lock the tool waits for (a table a session of the client's login
  // keeps open in a transaction) is given up after ten seconds: every client
  // would queue behind a command that waits for it.
  QStringList adminSessionStatements() const override { return {QStringLiteral("set lock_timeout = '10s'")}; }
  // A lock of the session's; the embedded store's own locks keep each copy
  // whole.
  QString takeTurnStatement() const override { return QStringLiteral("select pg_advisory_lock(3, 0)"); }
  QString holdAppendsStatement() const override {
    return QStringLiteral("lock table lz_yjxxk in share row exclusive mode");
  }
  QString nullsFirst() const override { return QStringLiteral(" nulls first"); }
  // The scratch database's own getdate(), the server's clock shifted.
  QStringList scratchClockStatements(qint64 offsetSeconds) const override {
    return {QStringLiteral("create or replace function getdate() returns timestamp language sql stable as "
                           "$$ select (localtimestamp(3) + interval '%1 seconds')::timestamp $$")
                .arg(offsetSeconds)};
  }
  QString copyName(const StoreLocation &location) const override { return location.database; }
  QString copySuffix() const override { return QStringLiteral("dump"); }
  // pg_dump's copy is one snapshot of the database, taken while clients go
  // on filing.
  void writeCopy(const StoreLocation &location, const QString &file) const override {
    postgrescopies::run(location, QStringLiteral("pg_dump"),
                        {QStringLiteral("--format=custom"), QStringLiteral("--file=") + file, location.database});
  }
  QString copyProblem(const StoreLocation &location, const QString &file) const override {
    const QString problem = postgrescopies::problem(location, file);
    return problem.isEmpty()
               ? QString()
               : QStringLiteral("not a whole copy of a PostgreSQL store (kgadmin backup): %1").arg(problem);
  }
  // What the copy holds is dropped and made again in one transaction: a
  // restore that fails leaves the store as it was. Owners and grants are the
  // server's own: the tables belong to the login that restores them, and the
  // client's login is granted again with kgadmin create-login.
  void restoreCopy(const StoreLocation &location, const QString &file) const override {
    postgrescopies::run(location, QStringLiteral("pg_restore"),
                        {QStringLiteral("--clean"), QStringLiteral("--if-exists"), QStringLiteral("--no-owner"),
                         QStringLiteral("--no-acl"), QStringLiteral("--single-transaction"),
                         QStringLiteral("--exit-on-error"), QStringLiteral("--dbname=") + location.database, file});
  }
  QString afterRestore() const override {
    return QStringLiteral("grant the client's login again with kgadmin create-login");
  }
};

} // namespace

const StoreDriver &postgresDriver() {
  static const PostgresDriver driver;
  return driver;
}
