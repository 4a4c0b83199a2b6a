#pragma once
// One driver per server: everything about one kind of server sits in its own
// folder (store/sqlite/, store/postgres/, store/odbc/), reached through this
// interface. The driver is chosen once, where a location is opened or an
// administrative connection tells its server (store/drivers.cpp); nothing
// outside the drivers asks which server it is talking to.
//
//   const StoreDriver &driver = drivers::forLocation(location);
//   std::unique_ptr<StoreBackend> connection = driver.connect(location, 10);
//   for (const QString &statement : drivers::forDialect(connection->dialect()).createStatements()) ...

#include "store/backend.h"
#include "store/schema.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>

#include <memory>
#include <optional>

// The client's login, made or updated by kgadmin create-login: what was
// done, and what the administrator should know besides.
struct LoginMade {
  QString summary;
  QStringList notes;
};
// The login was not made, for a reason of the server's: nothing changed.
class LoginRefused : public StoreError {
public:
  using StoreError::StoreError;
};

class StoreDriver {
public:
  virtual ~StoreDriver() = default;

  // The location a setting of this server's names (StoreLocation::parse):
  // none when the text is not this server's; raises StoreError for one that
  // is but does not read. setting() writes it back, password included;
  // describe() names it in messages, without the password.
  virtual std::optional<StoreLocation> parse(const QString &text) const = 0;
  virtual QString setting(const StoreLocation &location) const = 0;
  virtual QString describe(const StoreLocation &location) const = 0;

  // A connection of a query object to the store at the location, whose
  // statements end after timeoutSeconds.
  virtual std::unique_ptr<StoreBackend> connect(const StoreLocation &location, int timeoutSeconds) const = 0;
  // The statements the server behind an open connection of this driver's
  // speaks (an ODBC connection may reach PostgreSQL). Raises StoreError.
  virtual schema::Dialect dialect(StoreBackend &connection) const = 0;

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
  // transaction begins whose checks must hold to its end; what the commands that copy or replace a store
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
  virtual QString beginStatement() const { return QStringLiteral("begin transaction"); }
  virtual QString takeTurnStatement() const { return {}; }
  virtual QString holdAppendsStatement() const { return {}; }
  virtual QString nullsFirst() const { return {}; }
  virtual QVariant filingDate(const QDate &date) const { return QDateTime(date, QTime(0, 0)); }
  virtual bool appendOnServer() const { return true; }
  virtual QString statementEnd() const { return QStringLiteral(";\n"); }

  // A select of the names of a table's columns, the table's name (in lower
  // case) for its ? mark: no row for a table the store lacks.
  virtual QString columnsStatement() const {
    return QStringLiteral("select column_name from information_schema.columns where lower(table_name) = ?");
  }

  // The store's clock (kgadmin set-clock and status): what makes getdate()
  // run offsetSeconds ahead of the local time, and the select of the offset
  // kept; both empty where the server answers getdate() from its own clock.
  // The scratch stores of the tests and benchmarks (kit/) get such a clock
  // on every server: a server's database then answers from a getdate() of
  // its own.
  virtual QStringList clockStatements(qint64 offsetSeconds) const {
    Q_UNUSED(offsetSeconds);
    return {};
  }
  virtual QString clockOffsetStatement() const { return {}; }
  virtual QStringList scratchClockStatements(qint64 offsetSeconds) const { return clockStatements(offsetSeconds); }

  // The client's own login (kgadmin create-login), made or updated on the
  // store of an administrative connection with its rights and its share of
  // the server's connections, where kgadmin makes it (PostgreSQL; SQL
  // Server's comes from the script of print-mssql-login-script, SQLite has
  // none). The password is any text. Raises LoginRefused or StoreError.
  virtual bool makesLogins() const { return false; }
  virtual LoginMade makeLogin(StoreBackend &connection, const QString &user, const QString &password) const {
    Q_UNUSED(connection);
    Q_UNUSED(password);
    throw LoginRefused(QStringLiteral("kgadmin makes no login %1 on this server").arg(user));
  }

  // What a new store at the location needs before it is created (kgadmin
  // init): the embedded store's folder, which the user's data folder may not
  // hold yet.
  virtual void prepareNewStore(const StoreLocation &location) const { Q_UNUSED(location); }
};

namespace drivers {

// The location a setting names, as the driver of its server reads it; none
// when no driver takes the text.
std::optional<StoreLocation> parse(const QString &text);
// The driver of the server the location names, through its client library.
const StoreDriver &forLocation(const StoreLocation &location);
// The driver whose statements the server of an open connection speaks (an
// ODBC location may reach a PostgreSQL server).
const StoreDriver &forDialect(schema::Dialect dialect);
// The dialect print-schema names "sqlite", "postgres" or "mssql"; none for
// another name.
std::optional<schema::Dialect> dialectNamed(const QString &name);

} // namespace drivers
