#pragma once
// One driver per server: everything about one kind of server sits in its own
// folder (store/sqlite/, store/postgres/, store/odbc/), reached through this
// interface. The driver is chosen once, where a location is opened or an
// administrative connection tells its server (store/drivers.cpp); nothing
// outside the drivers asks which server it is talking to.
//
//   const StoreDriver &driver = drivers::forLocation(location);
//   std::unique_ptr<StoreBackend> connection = driver.connect(location, 10);
//   for (const QString &statement : drivers::forDialect(schema::dialectOf(db)).createStatements()) ...

#include "store/backend.h"
#include "store/schema.h"

#include <QDate>
#include <QDateTime>
#include <QSqlDatabase>
#include <QStringList>

#include <memory>

class StoreDriver {
public:
  virtual ~StoreDriver() = default;

  // A connection of a query object to the store at the location, whose
  // statements end after timeoutSeconds.
  virtual std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const = 0;
  // The administrator's connection through Qt (kgadmin, the test and
  // benchmark kit), added under the name and not yet open; prepare() makes
  // it ready once it is open.
  virtual QSqlDatabase addAdminConnection(const QString &name, const StoreLocation &location) const = 0;
  virtual void prepare(QSqlDatabase &db) const { Q_UNUSED(db); }

  // The server's schema: what creates the tables (and the server's own
  // functions), what drops them, and what gives a store made before
  // lz_yeyme the table and the append that counts against it.
  virtual QStringList createStatements() const = 0;
  virtual QStringList dropStatements() const = 0;
  virtual QStringList quotaUpgradeStatements() const = 0;
  // The recording time and the record of changes (records.h): what adds
  // them, what drops them, and what tells the triggers who makes the current
  // transaction's changes (? marks: who, operation, reason) and forgets it.
  virtual QStringList recordStatements() const = 0;
  virtual QStringList dropRecordStatements() const = 0;
  virtual QStringList auditContextStatements() const = 0;
  virtual QStringList clearAuditContextStatements() const = 0;

  // Copies of a whole store (kgadmin backup and restore, and the copy
  // written before init --force or restore --force replaces what a store
  // holds). refuseCopies raises, naming the command, where the server keeps
  // its copies itself. A copy's name is made of copyName and copySuffix;
  // writeCopy writes one of one moment while clients go on filing;
  // copyProblem tells why a file is no whole copy of such a store (empty
  // when it is); restoreCopy replaces what the store holds with it, wholly or
  // not at all; afterRestore is what the administrator does next, if
  // anything.
  virtual void refuseCopies(const QString &command) const { Q_UNUSED(command); }
  virtual QString copyName(const StoreLocation &location) const = 0;
  virtual QString copySuffix() const = 0;
  virtual void writeCopy(const StoreLocation &location, const QString &file) const = 0;
  virtual QString copyProblem(const StoreLocation &location, const QString &file) const = 0;
  virtual void restoreCopy(const StoreLocation &location, const QString &file) const = 0;
  virtual QString afterRestore() const { return {}; }

  // The administrator's statements where the servers differ (schema.h,
  // kgadmin): the literal of true and the mark of a national text in the
  // reference rows; what an administrative session sets first; how a
  // transaction begins whose checks must hold to its end (empty: the
  // connection's own begin); what the commands that copy or replace a store
  // take turns on (empty: nothing); what holds off the clients' appends for
  // the rest of a transaction (empty: its begin did already); what puts the
  // rows without a recording time first in an order (empty: they come first
  // already); a filing date as the store's date-time column takes it;
  // whether the append runs on the server with rights of its own, so that a
  // new append must be granted to the client's login again; what ends each
  // statement of a printed schema.
  virtual QString trueLiteral() const { return QStringLiteral("1"); }
  virtual QString textPrefix() const { return {}; }
  virtual QStringList adminSessionStatements() const { return {}; }
  virtual QString beginStatement() const { return {}; }
  virtual QString takeTurnStatement() const { return {}; }
  virtual QString holdAppendsStatement() const { return {}; }
  virtual QString nullsFirst() const { return {}; }
  virtual QVariant filingDate(const QDate &date) const { return QDateTime(date, QTime(0, 0)); }
  virtual bool appendOnServer() const { return true; }
  virtual QString statementEnd() const { return QStringLiteral(";\n"); }
};

namespace drivers {

// The driver of the server the location names, through its client library.
const StoreDriver &forLocation(const StoreLocation &location);
// The driver whose statements the server of an open connection speaks (an
// ODBC location may reach a PostgreSQL server).
const StoreDriver &forDialect(schema::Dialect dialect);

} // namespace drivers
