#pragma once
// What every kgadmin command shares: its output streams, its two kinds of
// failure and one connection to the store.
//
// Exit status: 0 done, 1 the store failed or refused, 2 bad arguments.

#include "store/driver.h"
#include "store/queryobject.h"
#include "store/schema.h"
#include "store/store.h"

#include <QStringList>
#include <QTextStream>
#include <QVariant>

#include <memory>

namespace admin {

constexpr int kDone = 0;
constexpr int kStoreFailed = 1;
constexpr int kBadArguments = 2;

QTextStream &out();
QTextStream &err();

// Bad command line: the message goes to stderr and the tool ends with 2.
struct UsageError {
  QString message;
};

// One store connection for the tool.
class Store {
public:
  explicit Store(StoreLocation location, bool create = false);
  StoreBackend &connection() { return m_query->connection(); }
  schema::Dialect dialect() const { return m_dialect; }
  // The driver of the server the store speaks.
  const StoreDriver &driver() const { return drivers::forDialect(m_dialect); }
  const StoreLocation &location() const { return m_location; }

  // Runs a statement with bound values; the rows of a select come back.
  QList<QVariantList> run(const QString &text, const QVariantList &values = {});
  // The first column of the first row (null without a row).
  QVariant value(const QString &text, const QVariantList &values = {});

  // Raises StoreError when the store has none of the registration tables.
  void requireTables();
  // Raises StoreError when the store lacks the recording time and the
  // correction record (a store made before them: kgadmin upgrade).
  void requireRecords();

  void begin();
  void commit();
  void rollback();
  // Waits until no other kgadmin command copies or replaces this store
  // (PostgreSQL: a lock of the session's; the embedded store's own locks
  // keep each copy whole), so that two such commands run one after the
  // other.
  void takeTurn();

private:
  StoreLocation m_location;
  std::unique_ptr<QueryObject> m_query;
  schema::Dialect m_dialect;
};

// The store argument at index (the command's name is args[0]).
StoreLocation storeArgument(const QStringList &args, int index);
// Exactly count arguments, the command's name included.
void expectArguments(const QStringList &args, int count);
// The same for a command whose first argument is the store.
void expectStoreArguments(const QStringList &args, int count);
// Takes "--name VALUE" out of args; empty when absent. A --name without a
// value is a usage error.
QString takeOption(QStringList &args, const QString &name);
bool takeFlag(QStringList &args, const QString &name);

// A value as the tool prints it: NULL, date-times as yyyy-MM-dd HH:mm:ss(.zzz).
QString shown(const QVariant &value);
// The recording time as text, to the millisecond; empty when unknown.
QString recordedText(const QVariant &value);

// Who runs the tool: the login of the operating system's user.
QString operatorName();

// The set-up commands (setup.cpp).
int init(const QStringList &args);
int setFiling(const QStringList &args, bool open);
int setVersion(const QStringList &args);
int setClock(const QStringList &args);
int printSchema(const QStringList &args);
int status(const QStringList &args);
// The client's logins (logins.cpp).
int createLogin(const QStringList &args);
int printMssqlLoginScript(const QStringList &args);
// The commands of the filing days (records.cpp, exchange.cpp, printout.cpp,
// copies.cpp).
int fill(const QStringList &args);
int upgrade(const QStringList &args);
int correct(const QStringList &args);
int withdraw(const QStringList &args);
int history(const QStringList &args);
int exportApplications(const QStringList &args);
int printApplication(const QStringList &args);
int backup(const QStringList &args);
int restore(const QStringList &args);
// The folder the copies written before init --force and restore --force go
// to: copies/ in the user's data folder (beside the embedded store,
// ~/.local/share/kgfiling/copies).
QString copiesFolder();
// A copy of a store, written into copiesFolder() before a command replaces
// what the store holds; the file written, a new one every time. Raises
// StoreError (nothing was written) when it cannot be written.
QString safetyCopy(Store &store);

} // namespace admin
