// kgadmin's logins of the client: create-login (PostgreSQL),
// print-mssql-login-script (SQL Server).

#include "tools/admin.h"

#include "store/postgres/backend.h"
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

// Connections kept for the administrator (kgadmin, pg_dump, psql) beyond
// those the server keeps for superusers, when the client's login gets its
// share of the server's connections: two per client (ADOTab and BDOTab).
constexpr int kAdministratorConnections = 5;

struct ConnectionShare {
  int serverMax = 0;
  int superuserReserved = 0;
  int login = 0; // connections the client's login may hold
  int clients() const { return login / 2; }
};

ConnectionShare connectionShare(Store &store) {
  ConnectionShare share;
  share.serverMax = store.value(QStringLiteral("select current_setting('max_connections')::int")).toInt();
  share.superuserReserved =
      store.value(QStringLiteral("select current_setting('superuser_reserved_connections')::int")).toInt();
  share.login = qMax(0, share.serverMax - share.superuserReserved - kAdministratorConnections) / 2 * 2;
  return share;
}

// Whether the server's pg_hba.conf lets the login reach databases other than
// its own: the first rule for the login that is not about its own database
// alone decides. Empty when it keeps the login to its database; otherwise
// what lets it through, or why it cannot be told.
QString otherDatabasesReachable(Store &store, const QString &user, const QString &database) {
  QList<QVariantList> rules;
  try {
    rules = store.run(QStringLiteral("select line_number, database::text[], user_name::text[], auth_method from "
                                     "pg_hba_file_rules where error is null order by line_number"));
  } catch (const StoreError &) {
    return QStringLiteral("the server's rules (pg_hba.conf) cannot be read by this login");
  }
  const auto list = [](const QVariant &value) {
    QString text = value.toString();
    text.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('"'));
    return text.split(QLatin1Char(','), Qt::SkipEmptyParts);
  };
  for (const QVariantList &rule : rules) {
    const QStringList databases = list(rule.at(1));
    const QStringList users = list(rule.at(2));
    const bool forUser = users.contains(QStringLiteral("all")) || users.contains(user) ||
                         std::any_of(users.cbegin(), users.cend(), [](const QString &name) {
                           return name.startsWith(QLatin1Char('+')) || name.startsWith(QLatin1Char('@'));
                         });
    if (!forUser || databases == QStringList{database} || databases == QStringList{QStringLiteral("replication")})
      continue;
    if (rule.at(3).toString() == QLatin1String("reject"))
      return {};
    return QStringLiteral("pg_hba.conf line %1 lets it in").arg(rule.at(0).toInt());
  }
  return QStringLiteral("no rule of pg_hba.conf shuts it out");
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
  if (store.dialect() != schema::Dialect::PostgreSQL) {
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
  const ConnectionShare share = connectionShare(store);
  if (share.login < 2) {
    err() << "create-login: the server's max_connections (" << share.serverMax << ") leaves no connection for a "
          << "client beside the " << share.superuserReserved << " kept for superusers and the "
          << kAdministratorConnections << " kept for the administrator; raise it. Nothing changed.\n";
    return kStoreFailed;
  }
  const bool exists = !store.run(QStringLiteral("select 1 from pg_roles where rolname = ?"), {user}).isEmpty();
  for (const QString &statement : PostgresBackend::loginStatements(exists, user, quoted(password), share.login))
    store.run(statement);
  const QString database = store.run(QStringLiteral("select current_database()")).first().first().toString();
  const QString owner =
      store
          .value(QStringLiteral("select proowner::regrole::text from pg_proc where proname = 'kg_append' and "
                                "pronamespace = 'public'::regnamespace"))
          .toString();
  for (const QString &statement : PostgresBackend::loginRightsStatements(user, database, owner))
    store.run(statement);
  // The append's owner ends a session of the login that keeps an append's
  // lock from the others (kg_lock): as a member of the login's role when it
  // is no superuser.
  QStringList notes;
  if (!store.value(QStringLiteral("select rolsuper from pg_roles where rolname = ?"), {owner}).toBool()) {
    try {
      store.run(PostgresBackend::lockOwnerStatement(user, owner));
    } catch (const StoreError &error) {
      notes << QStringLiteral("the owner of kg_append, %1, could not be made a member of %2, so it cannot end a "
                              "session of %2 that keeps a kindergarten locked: %3")
                   .arg(owner, user, error.message());
    }
  }
  // Temporary files of one session's sorts and hashes: a limit only a
  // superuser may set, so the login cannot lift it.
  try {
    store.run(PostgresBackend::temporaryFilesStatement(user));
  } catch (const StoreError &) {
    notes << QStringLiteral("only a superuser can limit the temporary files of %1 (temp_file_limit)").arg(user);
  }
  if (const int prepared =
          store.value(QStringLiteral("select current_setting('max_prepared_transactions')::int")).toInt();
      prepared > 0)
    notes << QStringLiteral("the server allows prepared transactions (max_prepared_transactions = %1): a session of "
                            "%2 can then keep an append's lock beyond its own end; set it to 0")
                 .arg(prepared)
                 .arg(user);
  const QString reachable = otherDatabasesReachable(store, user, database);
  out() << "create-login: " << (exists ? "updated" : "created") << " login " << user
        << " (select on lz_kttb, lz_xzcz and lz_yjxxk, execute on getdate() and kg_append; at most " << share.login
        << " connections, for " << share.clients() << " clients at once with two each: the server's max_connections "
        << share.serverMax << " less " << share.superuserReserved << " kept for superusers and "
        << kAdministratorConnections << " for the administrator)\n";
  if (!reachable.isEmpty())
    notes << QStringLiteral("%1 can connect to the server's other databases (%2); to keep it to %3, put these two "
                            "lines first in pg_hba.conf and reload the server:\n"
                            "    host  %3  %1  all  scram-sha-256\n"
                            "    host  all  %1  all  reject")
                 .arg(user, reachable, database);
  for (const QString &note : notes)
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
