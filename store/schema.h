#pragma once
// The tables of the registration store, for each kind of server, with their
// reference rows; and the server-side clock of the embedded store.
//
//   lz_kttb   the filing switch and the client version the store requires
//   lz_yjxxk  the applications (UNIQUE 身份证号, index on 申请幼儿园名称)
//   lz_xzcz   the number of groups of each community
//   lz_yeyme  the capacity of each kindergarten, as the client's quota table
//             gives it: the store's append counts against it, never against
//             a number the caller sends
//
// Used by the admin tool (kgadmin init) and the test fixture.

#include "store/store.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <span>

class StoreBackend;

namespace schema {

// The SQL dialect behind an open connection (ODBC may reach either server):
// StoreBackend::dialect().
enum class Dialect { SQLite, PostgreSQL, SqlServer };

// The twenty columns of lz_yjxxk in the order of the lookup statement.
const QStringList &applicationColumns();

// The length in characters of a text column of lz_yjxxk; 0 for the filing
// date-time.
int applicationColumnLength(const QString &column);
// The column definitions of lz_yjxxk (with its unique key on 身份证号) in
// a server's text and date-time types, for its create statement.
QString applicationColumnsSql(const QString &textType, const QString &stampType);

// The create statement of lz_yeyme in a server's text type.
QString quotaTableSql(const QString &textType);

// The statements that create the tables (and, for PostgreSQL, getdate();
// for SQLite, the clock offset table kg_clock), in order.
QStringList createStatements(Dialect dialect);
// The statements that fill the reference rows: lz_kttb (true, "202206181"),
// one lz_xzcz row per community of both streets, and the capacities of
// lz_yeyme.
QStringList referenceStatements(Dialect dialect);
// The statements that fill lz_yeyme from the client's quota table (after
// emptying it).
QStringList quotaStatements(Dialect dialect);
// The statements that drop everything createStatements made.
QStringList dropStatements(Dialect dialect);

// The administrator's connection is a query object's (StoreBackend::run):
// kgadmin, the test and benchmark kit.

// Runs the statements in one transaction: all of them or none. Raises
// StoreError.
void runInTransaction(StoreBackend &connection, const QStringList &statements);
// The names of a table's columns; none when the store lacks the table.
QStringList columnsOf(StoreBackend &connection, const QString &table);
// Whether the store has the table.
bool hasTable(StoreBackend &connection, const QString &table);
// Whether any of the three tables exists.
bool hasTables(StoreBackend &connection);
// Whether the store holds the capacities (lz_yeyme).
bool hasQuotas(StoreBackend &connection);
// Gives a store made before lz_yeyme the table and, on a server, the append
// that counts against it (replacing the one that took the capacity from its
// caller); fills lz_yeyme from the client's quota table either way. One
// transaction. Returns whether the table was added. Raises StoreError.
bool addQuotas(StoreBackend &connection);
// Creates the tables and the reference rows in one transaction (replacing
// existing tables when replace is true). Raises StoreError.
void create(StoreBackend &connection, bool replace);

// Reference data: the streets, their communities in list order, and the
// group count stored for each community (0 for the ungrouped ones).
struct Community {
  const char *street;
  const char *name;
  int groups;
};
std::span<const Community> communities();
QStringList streets();
QStringList communitiesOf(const QString &street);
// Communities whose group list is the single item "不分组".
QStringList ungroupedCommunities();

// The client version the reference row of lz_kttb requires.
extern const char *const kReferenceVersion; // "202206181"

// The embedded store's clock. getdate() there is the local time plus an
// offset in seconds kept in kg_clock, so that a store can answer any filing
// day (every connection to it has getdate() registered when it opens).
// setClock stores the offset that makes getdate() read `now` (false where
// the server keeps its own clock).
bool setClock(StoreBackend &connection, const QDateTime &now);
// The offset kept (0 without the table or a row); none where the server
// keeps its own clock.
std::optional<qint64> clockOffset(StoreBackend &connection);

} // namespace schema
