#pragma once
// A PostgreSQL server, reached through libpq on a connection of its own.

#include "store/backend.h"

#include <QByteArray>
#include <QStringList>
#include <memory>
#include <unordered_map>

struct pg_conn;
struct pg_result;

class PostgresBackend : public StoreBackend {
public:
  PostgresBackend(const StoreLocation &location, int timeoutSeconds);
  ~PostgresBackend() override;
  void append(const NewRow &row, const AppendGuard &guard) override;
  void disconnect() override;

  // The statements that create the tables and getdate(), and those that drop
  // them.
  static QStringList createStatements();
  static QStringList dropStatements();

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
  bool connected() const override { return m_connection != nullptr; }
  bool connectionLost() override;
  int execute(const QString &text, const QVariantList &values, Result *result) override;
  void beginAppend(const AppendGuard &guard) override;
  void commit() override;
  void rollback() override;

private:
  // A statement prepared on the server, kept while connected, with the
  // columns of its result once it has run.
  struct Prepared {
    QByteArray name;
    bool described = false;
    QStringList columns;
    QList<ResultRow::Kind> kinds;
    QList<bool> bytea; // columns whose values come escaped as bytea
  };
  Prepared &prepared(const QString &text);
  // Runs a statement without values and result (begin, commit, rollback).
  void command(const char *text);
  QString error(const pg_result *result) const;

  pg_conn *m_connection = nullptr;
  bool m_inTransaction = false;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
  Prepared *m_lastPrepared = nullptr;
  QString m_lastText;
  int m_statements = 0; // names given to statements prepared on the connection
};
