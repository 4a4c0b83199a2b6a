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
  // The server's guarded append, kg_append: refuses a text without a GBK
  // form, takes the locks, re-checks the quota against the store's own
  // capacity and the identity number, inserts, and tells the outcome.
  static QString appendFunction();
  // kg_lock, which takes kg_append's locks and ends a session that keeps one
  // from the others.
  static QString lockFunction();
  // kg_lock, kg_append and their rights (part of createStatements).
  static QStringList appendStatements();
  // What gives a store made before lz_yeyme the table and the append that
  // counts against it (kgadmin upgrade).
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
  // The client's login (kgadmin create-login): the role with its
  // connection limit (create when it does not exist, else alter), the
  // rights on the store's database (select on the tables the windows read,
  // getdate() and kg_append; none of the advisory locks, large objects,
  // notifications, ending sessions or temporary tables, which go to the other
  // logins by name and the locks to kg_append's owner alone); the membership
  // that lets kg_append's owner (no superuser) end a session of the login
  // that keeps a lock; the limit of its temporary files (a superuser's
  // statement).
  static QStringList loginStatements(bool exists, const QString &user, const QString &quotedPassword, int connections);
  static QStringList loginRightsStatements(const QString &user, const QString &database, const QString &owner);
  static QString lockOwnerStatement(const QString &user, const QString &owner);
  static QString temporaryFilesStatement(const QString &user);

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
  // Ends the connection with a reset and raises StoreError.
  [[noreturn]] void giveUp(const QString &text);
  // A server process with the name its connection was given.
  struct Session {
    int pid = 0;
    QByteArray name;
  };
  // After the link was lost with the append's outcome unknown: on a new
  // connection, waits until the old session has ended, then reads the row
  // back, trying for the time limit. False when it is not stored, or when
  // that could not be learnt within the limit.
  bool storedAfterAll(const NewRow &sent, const Session &old);
  // Ends the connection with a reset (what the server has not taken of it
  // is dropped).
  void reset();
  // Whether the kept connection was ended by the server while it was idle.
  bool lostWhileIdle();
  QString error(const pg_result *result) const;

  pg_conn *m_connection = nullptr;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
  Prepared *m_lastPrepared = nullptr;
  QString m_lastText;
  int m_connectSeconds;                            // the time a connection may take
  Session m_session;                               // the server process of the connection
  QDeadlineTimer m_deadline;                       // of the statement running
  QDeadlineTimer m_bound{QDeadlineTimer::Forever}; // no statement waits beyond it
  int m_statements = 0;                            // names given to statements prepared on the connection
};

class StoreDriver;
// Everything about this server behind the drivers' one interface (store/driver.h).
const StoreDriver &postgresDriver();

struct LoginMade;
// The client's login (store/postgres/logins.cpp): StoreDriver::makeLogin.
namespace postgreslogins {
LoginMade make(StoreBackend &connection, const QString &user, const QString &password);
} // namespace postgreslogins

// Copies (store/postgres/copies.cpp).
namespace postgrescopies {
// Runs pg_dump or pg_restore against the store (connects: with the
// location's server and login); what it printed. Raises StoreError.
QByteArray run(const StoreLocation &location, const QString &name, const QStringList &arguments, bool connects = true);
// Why the file is not a whole copy (pg_dump's custom format) of a store;
// empty when it is.
QString problem(const StoreLocation &location, const QString &file);
} // namespace postgrescopies
