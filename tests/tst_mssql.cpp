// The SQL Server store through ODBC and FreeTDS: the district's connection
// settings, and that a server which is not there, or which takes the
// connection and never answers, fails within the login time-out instead of
// hanging the client.

#include "fixture/testmain.h"

#include "store/queryobject.h"
#include "store/store.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback listener that completes connections (the kernel does) and never
// sends a byte: a server that has stopped answering.
class SilentServer {
public:
  SilentServer() {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::listen(m_fd, 8) == 0 && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
      m_port = ntohs(address.sin_port);
  }
  ~SilentServer() {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  int port() const { return m_port; }

private:
  int m_fd = -1;
  int m_port = 0;
};

int closedPort() {
  SilentServer server; // bound, then closed again
  return server.port();
}

StoreLocation freeTds(int port, int loginTimeout) {
  StoreLocation location = connection::sqlServer(QStringLiteral("127.0.0.1"));
  location.odbcConnection.replace(QStringLiteral("Port=1433"), QStringLiteral("Port=%1").arg(port));
  location.port = port;
  location.loginTimeout = loginTimeout;
  return location;
}

} // namespace

class MssqlTest : public QObject {
  Q_OBJECT
private slots:
  void connectionStrings();
  void failsWithinLoginTimeout_data();
  void failsWithinLoginTimeout();
};

void MssqlTest::connectionStrings() {
  QCOMPARE(connection::oleDbString(QStringLiteral("192.0.2.10")),
           QStringLiteral("Provider=SQLOLEDB.1;Password=TDmc@rvh@530872;Persist Security Info=True;User ID=sa;"
                          "Initial Catalog=mqrsdata;Data Source=192.0.2.10,1433"));
  const QString odbc = connection::odbcString(QStringLiteral("db.example"));
  const QStringList parts = odbc.split(QLatin1Char(';'), Qt::SkipEmptyParts);
  for (const QString &part :
       {QStringLiteral("Driver={FreeTDS}"), QStringLiteral("Server=db.example"), QStringLiteral("Port=1433"),
        QStringLiteral("Database=mqrsdata"), QStringLiteral("Uid=sa"), QStringLiteral("Pwd=TDmc@rvh@530872"),
        QStringLiteral("ClientCharset=UTF-8")})
    QVERIFY2(parts.contains(part), qPrintable(part + QStringLiteral(" in ") + odbc));

  const StoreLocation location = StoreLocation::parse(QStringLiteral("mssql:db.example"));
  QCOMPARE(int(location.backend), int(StoreLocation::Backend::Odbc));
  QCOMPARE(location.odbcConnection, odbc);
  QCOMPARE(location.host, QStringLiteral("db.example"));
  QCOMPARE(location.port, 1433);
  QCOMPARE(location.database, QStringLiteral("mqrsdata"));
  QCOMPARE(location.user, QStringLiteral("sa"));
  QVERIFY(!location.describe().contains(QStringLiteral("TDmc@rvh@530872")));
}

void MssqlTest::failsWithinLoginTimeout_data() {
  QTest::addColumn<QString>("server"); // closed, silent
  QTest::newRow("no server on the port") << QStringLiteral("closed");
  QTest::newRow("server never answers") << QStringLiteral("silent");
}

void MssqlTest::failsWithinLoginTimeout() {
  QFETCH(QString, server);
  SilentServer silent;
  QVERIFY(silent.port() > 0);
  const int loginTimeout = 2;
  const StoreLocation location =
      freeTds(server == QLatin1String("silent") ? silent.port() : closedPort(), loginTimeout);
  QueryObject query(QStringLiteral("ADOTab"), 10, location);
  query.clearSql();
  query.addSql(QStringLiteral("select 幼儿园填报,幼儿园版本 from lz_kttb"));
  QElapsedTimer clock;
  clock.start();
  QVERIFY_THROWS_EXCEPTION(StoreError, query.open());
  // Without the login time-out FreeTDS waits for minutes; with it the failure
  // comes after the time-out, give or take the driver's own retries.
  QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
  QVERIFY(!query.isOpen());
  // The next open tries again (and fails again) rather than reusing anything.
  QVERIFY_THROWS_EXCEPTION(StoreError, query.open());
}

KG_TEST_MAIN(MssqlTest)
#include "tst_mssql.moc"
