#pragma once
// The embedded store: an SQLite file, reached through the SQLite library.

#include "store/backend.h"

#include <QStringList>
#include <memory>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

class SqliteBackend : public StoreBackend {
public:
  SqliteBackend(const StoreLocation &location, int timeoutSeconds);
  ~SqliteBackend() override;
  void append(const NewRow &row, const AppendGuard &guard) override;
  void disconnect() override;

  // The statements that create the tables (with the clock offset table
  // kg_clock), and those that drop them.
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
  // Registers getdate() on a freshly opened connection: the local time plus
  // the offset kept in kg_clock, as yyyy-MM-dd HH:mm:ss text.
  static void installGetdate(sqlite3 *connection);

protected:
  void connect() override;
  bool connected() const override { return m_connection != nullptr; }
  bool connectionLost() override { return false; } // a file does not go away between two statements
  int execute(const QString &text, const QVariantList &values, Result *result) override;

private:
  // A statement compiled on the connection, kept while connected, with the
  // columns of its result once it has run.
  struct Prepared {
    sqlite3_stmt *compiled = nullptr;
    bool described = false;
    QStringList columns;
    QList<ResultRow::Kind> kinds; // how each column is read
    int reprepares = 0;           // times the library compiled it again when described
  };
  Prepared &prepared(const QString &text);
  [[noreturn]] void fail(const QString &text, int rc);
  // The append's transaction: begin takes the write lock at once.
  void begin();
  void commit();
  void rollback(); // never raises

  sqlite3 *m_connection = nullptr;
  bool m_inTransaction = false;
  std::unordered_map<QString, std::unique_ptr<Prepared>> m_prepared;
  Prepared *m_lastPrepared = nullptr; // the last one used: a window mostly runs one statement again
  QString m_lastText;
};

class StoreDriver;
// Everything about this server behind the drivers' one interface (store/driver.h).
const StoreDriver &sqliteDriver();

// Copies (store/sqlite/copies.cpp).
namespace sqlitecopies {
// Copies the whole of one SQLite database into another with the online
// backup, while other connections go on writing; the copy is of one moment.
void copy(const QString &from, const QString &to, bool createTarget);
// Whether the file is a whole SQLite database (every page read and checked)
// holding the registration tables.
bool isStoreFile(const QString &file);
} // namespace sqlitecopies
