// Where a server is chosen: the one place that knows every driver.

#include "store/driver.h"
#include "store/odbc/backend.h"
#include "store/postgres/backend.h"
#include "store/sqlite/backend.h"

namespace drivers {

std::optional<StoreLocation> parse(const QString &text) {
  for (const StoreDriver *driver : {&sqliteDriver(), &postgresDriver(), &odbcDriver()}) {
    if (std::optional<StoreLocation> location = driver->parse(text))
      return location;
  }
  return std::nullopt;
}

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

std::optional<schema::Dialect> dialectNamed(const QString &name) {
  if (name == QLatin1String("sqlite"))
    return schema::Dialect::SQLite;
  if (name == QLatin1String("postgres"))
    return schema::Dialect::PostgreSQL;
  if (name == QLatin1String("mssql"))
    return schema::Dialect::SqlServer;
  return std::nullopt;
}

} // namespace drivers
