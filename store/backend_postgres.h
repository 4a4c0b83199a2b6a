#pragma once
// A PostgreSQL server, reached through libpq on a connection of its own.

#include "store/backend.h"

#include <QByteArray>
#include <QDeadlineTimer>
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
  // The server's guarded append, kg_append: takes the locks, re-checks the
  // quota and the identity number, inserts, and tells the outcome.
  static QString appendFunction();

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
  // The statement kept for a text, or nullptr when the connection has not
  // prepared it yet.
  Prepared *prepared(const QString &text);
  // Prepares a statement and runs it in one request; its result, or nullptr
  // (the caller clears it).
  pg_result *prepareAndRun(const QString &text, int count, const char *const *values, const int *lengths,
                           const int *formats);
  // Waits until the statement's deadline for the next result of what was
  // sent, then gives up. The result, or nullptr at the end of one statement's
  // results.
  pg_result *next(const QString &text);
  // Waits for the answer to what was sent until the statement's deadline,
  // then gives up. The first result, or nullptr (the caller clears it).
  pg_result *answer(const QString &text);
  // Cancels the statement, ends the connection and raises StoreError.
  [[noreturn]] void giveUp(const QString &text);
  // After the link was lost with the append's outcome unknown: on a new
  // connection, ends the old session and reads the row back. False when it
  // is not stored or the server cannot be reached.
  bool storedAfterAll(const NewRow &row, int session);
  // Whether the kept connection was ended by the server while it was idle.
  bool lostWhileIdle();
  QString error(const pg_result *result) const;

  pg_conn *m_connection = nullptr;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
  Prepared *m_lastPrepared = nullptr;
  QString m_lastText;
  int m_connectSeconds;      // the time a connection may take
  int m_session = 0;         // the server process of the connection
  QDeadlineTimer m_deadline; // of the statement running
  int m_statements = 0;      // names given to statements prepared on the connection
};
