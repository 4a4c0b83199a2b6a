// The client's login on a PostgreSQL store (kgadmin create-login): the role
// with its share of the server's connections and its rights, and what the
// administrator should know about the server's rules.

#include "store/driver.h"
#include "store/postgres/backend.h"

#include <algorithm>

namespace {

QString quoted(const QString &text) {
  QString value = text;
  value.replace(QLatin1Char('\''), QStringLiteral("''"));
  return QLatin1Char('\'') + value + QLatin1Char('\'');
}

// The first column of the first row of a select (null without a row).
QVariant valueOf(StoreBackend &connection, const QString &text, const QVariantList &values = {}) {
  Result result;
  connection.run(text, values, &result);
  return result.rows.isEmpty() ? QVariant() : result.rows.first().value(0);
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

ConnectionShare connectionShare(StoreBackend &connection) {
  ConnectionShare share;
  share.serverMax = valueOf(connection, QStringLiteral("select current_setting('max_connections')::int")).toInt();
  share.superuserReserved =
      valueOf(connection, QStringLiteral("select current_setting('superuser_reserved_connections')::int")).toInt();
  share.login = qMax(0, share.serverMax - share.superuserReserved - kAdministratorConnections) / 2 * 2;
  return share;
}

// Whether the server's pg_hba.conf lets the login reach databases other than
// its own: the first rule for the login that is not about its own database
// alone decides. Empty when it keeps the login to its database; otherwise
// what lets it through, or why it cannot be told.
QString otherDatabasesReachable(StoreBackend &connection, const QString &user, const QString &database) {
  Result rules;
  try {
    connection.run(QStringLiteral("select line_number, database::text[], user_name::text[], auth_method from "
                                  "pg_hba_file_rules where error is null order by line_number"),
                   {}, &rules);
  } catch (const StoreError &) {
    return QStringLiteral("the server's rules (pg_hba.conf) cannot be read by this login");
  }
  const auto list = [](const QVariant &value) {
    QString text = value.toString();
    text.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('"'));
    return text.split(QLatin1Char(','), Qt::SkipEmptyParts);
  };
  for (const ResultRow &rule : rules.rows) {
    const QStringList databases = list(rule.value(1));
    const QStringList users = list(rule.value(2));
    const bool forUser = users.contains(QStringLiteral("all")) || users.contains(user) ||
                         std::any_of(users.cbegin(), users.cend(), [](const QString &name) {
                           return name.startsWith(QLatin1Char('+')) || name.startsWith(QLatin1Char('@'));
                         });
    if (!forUser || databases == QStringList{database} || databases == QStringList{QStringLiteral("replication")})
      continue;
    if (rule.value(3).toString() == QLatin1String("reject"))
      return {};
    return QStringLiteral("pg_hba.conf line %1 lets it in").arg(rule.value(0).toInt());
  }
  return QStringLiteral("no rule of pg_hba.conf shuts it out");
}

} // namespace

namespace postgreslogins {

LoginMade make(StoreBackend &connection, const QString &user, const QString &password) {
  const ConnectionShare share = connectionShare(connection);
  if (share.login < 2)
    throw LoginRefused(QStringLiteral("the server's max_connections (%1) leaves no connection for a client beside "
                                      "the %2 kept for superusers and the %3 kept for the administrator; raise it. "
                                      "Nothing changed.")
                           .arg(share.serverMax)
                           .arg(share.superuserReserved)
                           .arg(kAdministratorConnections));
  Result existing;
  connection.run(QStringLiteral("select 1 from pg_roles where rolname = ?"), {user}, &existing);
  const bool exists = !existing.rows.isEmpty();
  for (const QString &statement : PostgresBackend::loginStatements(exists, user, quoted(password), share.login))
    connection.run(statement);
  const QString database = valueOf(connection, QStringLiteral("select current_database()")).toString();
  const QString owner =
      valueOf(connection, QStringLiteral("select proowner::regrole::text from pg_proc where proname = 'kg_append' "
                                         "and pronamespace = 'public'::regnamespace"))
          .toString();
  for (const QString &statement : PostgresBackend::loginRightsStatements(user, database, owner))
    connection.run(statement);
  // The append's owner ends a session of the login that keeps an append's
  // lock from the others (kg_lock): as a member of the login's role when it
  // is no superuser.
  LoginMade made;
  if (!valueOf(connection, QStringLiteral("select rolsuper from pg_roles where rolname = ?"), {owner}).toBool()) {
    try {
      connection.run(PostgresBackend::lockOwnerStatement(user, owner));
    } catch (const StoreError &error) {
      made.notes << QStringLiteral("the owner of kg_append, %1, could not be made a member of %2, so it cannot end "
                                   "a session of %2 that keeps a kindergarten locked: %3")
                        .arg(owner, user, error.message());
    }
  }
  // Temporary files of one session's sorts and hashes: a limit only a
  // superuser may set, so the login cannot lift it.
  try {
    connection.run(PostgresBackend::temporaryFilesStatement(user));
  } catch (const StoreError &) {
    made.notes << QStringLiteral("only a superuser can limit the temporary files of %1 (temp_file_limit)").arg(user);
  }
  if (const int prepared =
          valueOf(connection, QStringLiteral("select current_setting('max_prepared_transactions')::int")).toInt();
      prepared > 0)
    made.notes << QStringLiteral("the server allows prepared transactions (max_prepared_transactions = %1): a "
                                 "session of %2 can then keep an append's lock beyond its own end; set it to 0")
                      .arg(prepared)
                      .arg(user);
  const QString reachable = otherDatabasesReachable(connection, user, database);
  made.summary = QStringLiteral("%1 login %2 (select on lz_kttb, lz_xzcz and lz_yjxxk, execute on getdate() and "
                                "kg_append; at most %3 connections, for %4 clients at once with two each: the "
                                "server's max_connections %5 less %6 kept for superusers and %7 for the "
                                "administrator)")
                     .arg(exists ? QStringLiteral("updated") : QStringLiteral("created"), user)
                     .arg(share.login)
                     .arg(share.clients())
                     .arg(share.serverMax)
                     .arg(share.superuserReserved)
                     .arg(kAdministratorConnections);
  if (!reachable.isEmpty())
    made.notes << QStringLiteral("%1 can connect to the server's other databases (%2); to keep it to %3, put these "
                                 "two lines first in pg_hba.conf and reload the server:\n"
                                 "    host  %3  %1  all  scram-sha-256\n"
                                 "    host  all  %1  all  reject")
                      .arg(user, reachable, database);
  return made;
}

} // namespace postgreslogins
