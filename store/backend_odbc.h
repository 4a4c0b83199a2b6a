#pragma once
// SQL Server (the district's store) through ODBC: Qt's ODBC driver, with the
// driver manager linked for what the driver does not expose (the statement
// time limit, the link's state). The same backend reaches a PostgreSQL server
// through its ODBC driver, which the tests use.

#include "store/backend.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <memory>
#include <unordered_map>

class OdbcBackend : public StoreBackend {
public:
  OdbcBackend(const StoreLocation &location, int timeoutSeconds);
  ~OdbcBackend() override;
  void append(const NewRow &row, const AppendGuard &guard) override;
  void disconnect() override;

  // The statements that create the tables on SQL Server, and those that drop
  // them.
  static QStringList createStatements();
  static QStringList dropStatements();
  // SQL Server's guarded append, the procedure kg_append: takes the locks,
  // re-checks the quota and the identity number, inserts, and tells the
  // outcome as a one-row result.
  static QString appendProcedure();

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
  struct Prepared {
    QSqlQuery query;
    bool described = false;
    QStringList columns;
  };
  Prepared &prepared(const QString &text);
  QSqlDatabase database() const;

  QString m_connectionName;
  bool m_connected = false;
  Server m_server = Server::SqlServer;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
};
