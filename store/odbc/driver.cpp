#include "store/driver.h"
#include "store/odbc/backend.h"

namespace {

QString valueOf(const QString &connectionString, const QString &key) {
  for (const QString &part : connectionString.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const int eq = part.indexOf(QLatin1Char('='));
    if (eq > 0 && part.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
      return part.mid(eq + 1).trimmed();
  }
  return QString();
}

class OdbcDriver final : public StoreDriver {
public:
  // mssql:<host> names the district's SQL Server with its fixed settings.
  std::optional<StoreLocation> parse(const QString &text) const override {
    if (text.startsWith(QLatin1String("mssql:"))) {
      const QString server = text.mid(6).trimmed();
      if (server.isEmpty())
        StoreLocation::refuse(text, QStringLiteral("no server address after mssql:"));
      // The address goes into the connection string: it may not end its
      // setting and add others.
      for (QChar c : server)
        if (c.unicode() <= 0x20 || c == u';' || c == u'{' || c == u'}' || c == u'=')
          StoreLocation::refuse(text,
                                QStringLiteral("a server address holds no blanks, control characters, ; { } or ="));
      return connection::sqlServer(server);
    }
    if (!text.startsWith(QLatin1String("odbc:")))
      return std::nullopt;
    StoreLocation location;
    location.backend = StoreLocation::Backend::Odbc;
    location.odbcConnection = text.mid(5);
    if (location.odbcConnection.trimmed().isEmpty())
      StoreLocation::refuse(text, QStringLiteral("no connection string after odbc:"));
    location.host = valueOf(location.odbcConnection, QStringLiteral("Server"));
    location.port = valueOf(location.odbcConnection, QStringLiteral("Port")).toInt();
    // Windows' SQL Server driver takes the port after the address
    // (Server=host,port), as the client's own connection string there says.
    const qsizetype comma = location.host.lastIndexOf(QLatin1Char(','));
    bool isPort = false;
    const int port = comma > 0 ? location.host.mid(comma + 1).trimmed().toInt(&isPort) : 0;
    if (location.port == 0 && isPort && port > 0) {
      location.host = location.host.left(comma).trimmed();
      location.port = port;
    }
    location.database = valueOf(location.odbcConnection, QStringLiteral("Database"));
    location.user = valueOf(location.odbcConnection, QStringLiteral("Uid"));
    location.password = valueOf(location.odbcConnection, QStringLiteral("Pwd"));
    return location;
  }
  QString setting(const StoreLocation &location) const override {
    return QStringLiteral("odbc:") + location.odbcConnection;
  }
  QString describe(const StoreLocation &location) const override {
    // The password's setting shows as ***, however it is written.
    QStringList parts = location.odbcConnection.split(QLatin1Char(';'));
    for (QString &part : parts) {
      const qsizetype eq = part.indexOf(QLatin1Char('='));
      const QString key = part.left(eq).trimmed();
      if (eq > 0 && (key.compare(QLatin1String("Pwd"), Qt::CaseInsensitive) == 0 ||
                     key.compare(QLatin1String("Password"), Qt::CaseInsensitive) == 0))
        part = part.left(eq + 1) + QStringLiteral("***");
    }
    return QStringLiteral("ODBC %1").arg(parts.join(QLatin1Char(';')));
  }
  std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const override {
    return std::make_unique<OdbcBackend>(location, timeoutSeconds);
  }
  // The backend asks the server's name when it connects.
  schema::Dialect dialect(StoreBackend &connection) const override {
    return static_cast<OdbcBackend &>(connection).serverDialect();
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
