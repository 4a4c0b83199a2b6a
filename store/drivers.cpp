// Where a server is chosen: the one place that knows every driver.

#include "store/driver.h"
#include "store/odbc/backend.h"
#include "store/postgres/backend.h"
#include "store/sqlite/backend.h"

#include <QSqlDriver>

namespace drivers {

const StoreDriver &forLocation(const StoreLocation &location) {
  switch (location.backend) {
  case StoreLocation::Backend::SQLite: return sqliteDriver();
  case StoreLocation::Backend::PostgreSQL: return postgresDriver();
  case StoreLocation::Backend::Odbc: return odbcDriver();
  }
  throw StoreError(QStringLiteral("Unknown kind of store"));
}

const StoreDriver &forDialect(schema::Dialect dialect) {
  switch (dialect) {
  case schema::Dialect::SQLite: return sqliteDriver();
  case schema::Dialect::PostgreSQL: return postgresDriver();
  case schema::Dialect::SqlServer: return odbcDriver();
  }
  throw StoreError(QStringLiteral("Unknown kind of store"));
}

} // namespace drivers

namespace schema {

Dialect dialectOf(const QSqlDatabase &db) {
  switch (db.driver()->dbmsType()) {
  case QSqlDriver::SQLite: return Dialect::SQLite;
  case QSqlDriver::PostgreSQL: return Dialect::PostgreSQL;
  case QSqlDriver::MSSqlServer: return Dialect::SqlServer;
  default: break;
  }
  throw StoreError(
      QStringLiteral("The store server (driver %1) is neither SQLite, PostgreSQL nor SQL Server").arg(db.driverName()));
}

} // namespace schema
