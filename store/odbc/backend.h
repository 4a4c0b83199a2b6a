#pragma once
// SQL Server (the district's store) through ODBC, on the driver manager's own
// API (unixODBC; odbc32 on Windows): texts go in and out as UTF-16 (the wide
// functions and SQL_C_WCHAR), so that Chinese text needs no code page of the
// driver's. The same backend reaches a PostgreSQL server through its ODBC
// driver, which the tests use.

#include "store/backend.h"

#include <QDeadlineTimer>
#include <QList>
#include <QStringList>
#include <memory>
#include <unordered_map>

class OdbcBackend : public StoreBackend {
public:
  OdbcBackend(const StoreLocation &location, int timeoutSeconds);
  ~OdbcBackend() override;
  void append(const NewRow &row, const AppendGuard &guard) override;
  void disconnect() override;
  // The statements the server behind the connection speaks, as its driver
  // named itself when the connection was made. Raises StoreError.
  schema::Dialect serverDialect();

  // The statements that create the tables on SQL Server, and those that drop
  // them.
  static QStringList createStatements();
  static QStringList dropStatements();
  // SQL Server's guarded append, the procedure kg_append: refuses to run in
  // a transaction of the caller's and a text without a GBK form, takes the
  // locks (waiting for each at most kLockWaitMs), re-checks the quota against
  // the store's own capacity and the identity number, inserts, and tells the
  // outcome as a one-row result.
  static QString appendProcedure();
  static constexpr int kLockWaitMs = 5000;
  // What gives a store made before lz_yeyme the table and the procedure that
  // counts against it.
  static QStringList quotaUpgradeStatements();

  // The recording time of every application and the record of every change
  // (lz_xgjl, written by triggers), added to a store its create statements
  // made; and the statements that drop them (run before dropStatements'
  // functions, after its tables).
  static QStringList recordStatements();
  static QStringList dropRecordStatements();
  // Tells the triggers who makes the current transaction's changes, as
  // which operation and why (the ? marks take who, operation and reason in
  // that order), and forgets it again.
  static QStringList auditContextStatements();
  static QStringList clearAuditContextStatements();

protected:
  void connect() override;
  bool connected() const override { return m_connected; }
  bool connectionLost() override;
  int execute(const QString &text, const QVariantList &values, Result *result) override;

private:
  enum class Server { SqlServer, PostgreSQL };
  // The handles are ODBC's SQLHANDLE (void *), kept opaque here so that
  // the ODBC headers (and windows.h under them) stay in backend.cpp.
  using Handle = void *;
  // A statement prepared once on the connection and run again with new
  // values; freed with the connection.
  struct Prepared {
    Handle statement = nullptr;
    bool described = false; // run at least once with a result
    ~Prepared();
  };
  Prepared &prepared(const QString &text);
  // Reads the rows of the statement's open result; the cursor stays open.
  void fetch(Handle statement, const QString &text, Result *result);
  // The driver's diagnostics after a failed call on the statement (or on the
  // connection when statement is null), as "what: messages [native code]".
  QString failure(const QString &what, Handle statement = nullptr) const;
  // The SQLSTATE of the statement's first diagnostic record.
  QString state(Handle statement) const;
  // Frees the connection's handles; the statements go first.
  void release();
  // The session a statement was sent on: on PostgreSQL its process number
  // and the name the connection gave itself.
  struct Session {
    int pid = 0;
    QString name;
    bool sent = false;
    QDeadlineTimer doneBy; // SQL Server: when a call sent then has ended at the latest
  };
  // After the link was lost with the append's outcome unknown: on a new
  // connection, waits until the old session cannot store any more, then
  // reads the row back, trying for the time limit. False when it is not
  // stored, or when that could not be learnt within the limit.
  bool storedAfterAll(const NewRow &sent, const Session &old);
  // How long a call of SQL Server's procedure can run once started: its two
  // lock waits and a second for its work.
  static constexpr int kProcedureBoundMs = 2 * kLockWaitMs + 1000;
  Session m_session;

  Handle m_environment = nullptr;
  Handle m_connection = nullptr;
  bool m_connected = false;
  Server m_server = Server::SqlServer;
  // The digits of a second's fraction that the server's timestamp keeps (3
  // on SQL Server's datetime): a bound date-time is cut to them.
  int m_fractionDigits = 0;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
};

class StoreDriver;
// Everything about this server behind the drivers' one interface (store/driver.h).
const StoreDriver &odbcDriver();
