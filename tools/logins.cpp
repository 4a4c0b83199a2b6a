// kgadmin's logins of the client: create-login (PostgreSQL),
// print-mssql-login-script (SQL Server).

#include "tools/admin.h"

#include "store/records.h"

#include <QRegularExpression>

namespace admin {

namespace {

QString quoted(const QString &text) {
  QString value = text;
  value.replace(QLatin1Char('\''), QStringLiteral("''"));
  return QLatin1Char('\'') + value + QLatin1Char('\'');
}

// A login name that needs no quoting anywhere.
void checkLoginName(const QString &user) {
  static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,62}$"));
  if (!plain.match(user).hasMatch())
    throw UsageError{
        QStringLiteral("login name \"%1\": use letters, digits and _ only, starting with a letter or _").arg(user)};
}

void checkPassword(const QString &password) {
  if (password.isEmpty())
    throw UsageError{QStringLiteral("the password must not be empty")};
}

} // namespace

int createLogin(const QStringList &args) {
  expectStoreArguments(args, 4);
  const StoreLocation location = storeArgument(args, 1);
  const QString user = args.at(2);
  const QString password = args.at(3);
  checkLoginName(user);
  checkPassword(password);
  Store store(location);
  const StoreDriver &driver = store.driver();
  if (!driver.makesLogins()) {
    err() << "create-login: only for PostgreSQL; for SQL Server run the script of print-mssql-login-script, "
             "SQLite has no logins.\n";
    return kStoreFailed;
  }
  store.requireTables();
  if (!schema::hasQuotas(store.connection())) {
    err() << "create-login: " << location.describe()
          << " was made before the store kept the capacities (lz_yeyme); run kgadmin upgrade first. Nothing "
             "changed.\n";
    return kStoreFailed;
  }
  LoginMade made;
  try {
    made = driver.makeLogin(store.connection(), user, password);
  } catch (const LoginRefused &refusal) {
    err() << "create-login: " << refusal.message() << "\n";
    return kStoreFailed;
  }
  out() << "create-login: " << made.summary << "\n";
  for (const QString &note : made.notes)
    out() << "create-login: note: " << note << "\n";
  return kDone;
}

int printMssqlLoginScript(const QStringList &args) {
  expectArguments(args, 3);
  const QString user = args.at(1);
  const QString password = args.at(2);
  checkLoginName(user);
  checkPassword(password);
  const QString name = quoted(user);
  out() << "-- Login of the filing client on the registration store " << connection::kInitialCatalog << ":\n"
        << "-- select on lz_kttb, lz_xzcz and lz_yjxxk, execute on kg_append (which runs as its owner and\n"
        << "-- takes the application locks itself), nothing else. SQL Server has no limit of connections\n"
        << "-- per login and lets every login use tempdb; the login is mapped to this database only.\n"
        << "USE master;\n"
        << "IF NOT EXISTS (SELECT 1 FROM sys.server_principals WHERE name = N" << name << ")\n"
        << "  CREATE LOGIN [" << user << "] WITH PASSWORD = N" << quoted(password)
        << ", DEFAULT_DATABASE = " << connection::kInitialCatalog << ", CHECK_POLICY = ON;\n"
        << "ELSE\n"
        << "  ALTER LOGIN [" << user << "] WITH PASSWORD = N" << quoted(password) << ";\n"
        << "GO\n"
        << "USE " << connection::kInitialCatalog << ";\n"
        << "IF NOT EXISTS (SELECT 1 FROM sys.database_principals WHERE name = N" << name << ")\n"
        << "  CREATE USER [" << user << "] FOR LOGIN [" << user << "];\n"
        << "REVOKE INSERT, UPDATE, DELETE ON dbo.lz_yjxxk TO [" << user << "];\n"
        << "GRANT SELECT ON dbo.lz_kttb TO [" << user << "];\n"
        << "GRANT SELECT ON dbo.lz_xzcz TO [" << user << "];\n"
        << "GRANT SELECT ON dbo.lz_yjxxk TO [" << user << "];\n"
        << "GRANT EXECUTE ON dbo.kg_append TO [" << user << "];\n"
        << "DENY EXECUTE ON sys.sp_getapplock TO [" << user << "];\n"
        << "DENY EXECUTE ON sys.sp_releaseapplock TO [" << user << "];\n"
        << "GO\n";
  return kDone;
}

} // namespace admin
