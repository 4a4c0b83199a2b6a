// kgadmin backup and restore: a consistent copy of a store taken while
// clients file, and a store brought back from one. The embedded store is
// copied with SQLite's online backup; PostgreSQL with pg_dump and
// pg_restore. A SQL Server store is backed up on its server.

#include "tools/admin.h"

#include "store/records.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlRecord>
#include <QStandardPaths>

#include <sqlite3.h>

namespace admin {

namespace {

void refuseSqlServer(const Store &store, const QString &command) {
  if (store.dialect() == schema::Dialect::SqlServer)
    throw StoreError(QStringLiteral("%1: a SQL Server store is copied on its server (BACKUP DATABASE / RESTORE "
                                    "DATABASE), not by kgadmin")
                         .arg(command));
}

// Copies the whole of one SQLite database into another with the online
// backup: pages are copied while other connections go on writing, and the
// copy is of one moment.
void sqliteCopy(const QString &from, const QString &to, bool createTarget) {
  sqlite3 *source = nullptr;
  sqlite3 *target = nullptr;
  const auto fail = [&](const QString &what, sqlite3 *handle) {
    const QString message = QStringLiteral("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(handle)));
    sqlite3_close(source);
    sqlite3_close(target);
    throw StoreError(message);
  };
  if (sqlite3_open_v2(QFile::encodeName(from).constData(), &source, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    fail(QStringLiteral("cannot open %1").arg(from), source);
  const int mode = SQLITE_OPEN_READWRITE | (createTarget ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(QFile::encodeName(to).constData(), &target, mode, nullptr) != SQLITE_OK)
    fail(QStringLiteral("cannot open %1").arg(to), target);
  sqlite3_busy_timeout(target, 30000);
  sqlite3_backup *backup = sqlite3_backup_init(target, "main", source, "main");
  if (!backup)
    fail(QStringLiteral("cannot copy %1 to %2").arg(from, to), target);
  int rc = SQLITE_OK;
  do {
    rc = sqlite3_backup_step(backup, 256);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
      sqlite3_sleep(20);
  } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE)
    fail(QStringLiteral("copying %1 to %2 failed").arg(from, to), target);
  sqlite3_close(source);
  sqlite3_close(target);
}

// Whether the file is a whole SQLite database (every page read and
// checked) holding the registration tables.
bool sqliteStoreFile(const QString &file) {
  sqlite3 *handle = nullptr;
  bool found = false;
  if (sqlite3_open_v2(QFile::encodeName(file).constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    const auto single = [&](const char *sql) {
      QByteArray answer;
      sqlite3_stmt *statement = nullptr;
      if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW)
        answer = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
      sqlite3_finalize(statement);
      return answer;
    };
    found = single("select count(*) from sqlite_master where type = 'table' and name = 'lz_yjxxk'") == "1" &&
            single("pragma quick_check") == "ok";
  }
  sqlite3_close(handle);
  return found;
}

// A PostgreSQL client program (pg_dump, pg_restore) of the installed server.
QString postgresProgram(const QString &name) {
  QString found = QStandardPaths::findExecutable(name);
  if (found.isEmpty()) {
    const QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (auto version = versions.crbegin(); version != versions.crend() && found.isEmpty(); ++version)
      found = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*version)});
  }
  if (found.isEmpty())
    throw StoreError(QStringLiteral("%1 is not installed (Debian: postgresql-client)").arg(name));
  return found;
}

// Runs pg_dump or pg_restore against the store; what it printed. A lock it
// waits for is given up after ten seconds, so that a session holding the
// tables (an open transaction of a client's login) cannot make the command,
// and every client queued behind it, wait.
QByteArray runPostgresProgram(const StoreLocation &location, const QString &name, const QStringList &arguments,
                              bool connects = true) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("PGPASSWORD"), location.password);
  environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QString::number(location.loginTimeout));
  environment.insert(QStringLiteral("PGOPTIONS"), QStringLiteral("-c lock_timeout=10s"));
  process.setProcessEnvironment(environment);
  process.start(postgresProgram(name),
                (connects ? QStringList{QStringLiteral("--host=") + location.host,
                                        QStringLiteral("--port=") + QString::number(location.port),
                                        QStringLiteral("--username=") + location.user, QStringLiteral("--no-password")}
                          : QStringList()) +
                    arguments);
  if (!process.waitForStarted(10000))
    throw StoreError(QStringLiteral("cannot start %1: %2").arg(name, process.errorString()));
  QByteArray printed;
  while (!process.waitForFinished(200))
    printed += process.readAllStandardOutput();
  printed += process.readAllStandardOutput();
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    throw StoreError(
        QStringLiteral("%1 failed: %2").arg(name, QString::fromLocal8Bit(process.readAllStandardError()).trimmed()));
  return printed;
}

// Whether the file is a whole copy (pg_dump's custom format) of a store:
// its table of contents names lz_yjxxk, and pg_restore reads it to the end.
QString postgresCopyProblem(const StoreLocation &location, const QString &file) {
  try {
    const QByteArray contents =
        runPostgresProgram(location, QStringLiteral("pg_restore"), {QStringLiteral("--list"), file}, false);
    if (!contents.contains(" TABLE public lz_yjxxk "))
      return QStringLiteral("it holds no table lz_yjxxk");
    runPostgresProgram(location, QStringLiteral("pg_restore"),
                       {QStringLiteral("--file=") + QProcess::nullDevice(), file}, false);
  } catch (const StoreError &error) {
    return error.message();
  }
  return {};
}

int applications(Store &store) {
  return schema::hasTables(store.db()) && store.db().record(QStringLiteral("lz_yjxxk")).count() > 0
             ? store.value(QStringLiteral("select count(*) from lz_yjxxk")).toInt()
             : 0;
}

// Writes a copy of the store into FILE.part and gives it the name file,
// which must not exist: a copy never replaces another file.
void writeCopy(Store &store, const QString &file) {
  const StoreLocation &location = store.location();
  const QString scratch = file + QStringLiteral(".part");
  QFile::remove(scratch);
  try {
    if (store.dialect() == schema::Dialect::SQLite)
      sqliteCopy(location.file, scratch, true);
    else
      // pg_dump's copy is one snapshot of the database, taken while clients
      // go on filing.
      runPostgresProgram(location, QStringLiteral("pg_dump"),
                         {QStringLiteral("--format=custom"), QStringLiteral("--file=") + scratch, location.database});
  } catch (...) {
    QFile::remove(scratch);
    throw;
  }
  if (!QFile::rename(scratch, file)) {
    QFile::remove(scratch);
    throw StoreError(QStringLiteral("cannot name the copy %1 (a file of that name appeared meanwhile)").arg(file));
  }
}

void checkNewFile(const QString &command, const QString &file) {
  const QFileInfo info(file);
  if (info.exists())
    throw UsageError{QStringLiteral("%1: \"%2\" exists already; name a new file").arg(command, file)};
  if (!QFileInfo(info.absolutePath()).isDir())
    throw UsageError{QStringLiteral("%1: the folder of \"%2\" does not exist").arg(command, file)};
}

} // namespace

QString copiesFolder() { return QFileInfo(StoreLocation::embeddedFile()).absolutePath() + QStringLiteral("/copies"); }

QString safetyCopy(Store &store) {
  refuseSqlServer(store, QStringLiteral("init --force"));
  const StoreLocation &location = store.location();
  const QString folder = copiesFolder();
  if (!QDir().mkpath(folder))
    throw StoreError(QStringLiteral("the folder of the copies, %1, cannot be made").arg(folder));
  // Named by the store, the time and this process, so that two commands in
  // the same second never write the same copy; numbered on when one exists.
  const QString base = location.backend == StoreLocation::Backend::SQLite ? QFileInfo(location.file).completeBaseName()
                                                                          : location.database;
  const QString stamp = QStringLiteral("%1-%2")
                            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                            .arg(QCoreApplication::applicationPid());
  const QString suffix =
      location.backend == StoreLocation::Backend::SQLite ? QStringLiteral("db") : QStringLiteral("dump");
  QString file = QDir(folder).filePath(QStringLiteral("%1.%2.copy.%3").arg(base, stamp, suffix));
  for (int n = 2; QFileInfo::exists(file) || QFileInfo::exists(file + QStringLiteral(".part")); ++n)
    file = QDir(folder).filePath(QStringLiteral("%1.%2-%3.copy.%4").arg(base, stamp).arg(n).arg(suffix));
  try {
    writeCopy(store, file);
  } catch (const StoreError &error) {
    throw StoreError(QStringLiteral("no copy could be written into %1: %2").arg(folder, error.message()));
  }
  return file;
}

int backup(const QStringList &args) {
  expectStoreArguments(args, 3);
  const StoreLocation location = storeArgument(args, 1);
  const QString file = args.at(2);
  checkNewFile(args.at(0), file);
  Store store(location);
  refuseSqlServer(store, args.at(0));
  store.requireTables();
  store.takeTurn();
  const int rows = store.value(QStringLiteral("select count(*) from lz_yjxxk")).toInt();
  writeCopy(store, file);
  out() << "backup: " << location.describe() << " (" << rows << " application(s) when the copy began) copied to "
        << file << "\n";
  return kDone;
}

int restore(const QStringList &arguments) {
  QStringList args = arguments;
  const bool force = takeFlag(args, QStringLiteral("--force"));
  expectStoreArguments(args, 3);
  const StoreLocation location = storeArgument(args, 1);
  const QString file = args.at(2);
  if (!QFileInfo(file).isFile())
    throw UsageError{QStringLiteral("restore: \"%1\" is not a file").arg(file)};
  // The copy is read through before anything is touched.
  if (location.backend == StoreLocation::Backend::SQLite && !sqliteStoreFile(file))
    throw UsageError{
        QStringLiteral("restore: \"%1\" is not a copy of an embedded store (not a whole SQLite database holding "
                       "lz_yjxxk); nothing changed")
            .arg(file)};
  if (location.backend == StoreLocation::Backend::PostgreSQL) {
    if (const QString problem = postgresCopyProblem(location, file); !problem.isEmpty())
      throw UsageError{QStringLiteral("restore: \"%1\" is not a whole copy of a PostgreSQL store (kgadmin backup): "
                                      "%2; nothing changed")
                           .arg(file, problem)};
  }
  Store store(location, location.backend == StoreLocation::Backend::SQLite);
  refuseSqlServer(store, args.at(0));
  store.takeTurn();
  const int before = applications(store);
  QString copy;
  if (schema::hasTables(store.db())) {
    if (!force) {
      err() << "restore: " << location.describe()
            << " already holds registration tables; nothing changed. Use --force to replace them (a copy is "
               "written first).\n";
      return kStoreFailed;
    }
    try {
      copy = safetyCopy(store);
    } catch (const StoreError &error) {
      err() << "restore: nothing changed (" << before << " application(s) stored): " << error.message() << "\n";
      return kStoreFailed;
    }
  }
  try {
    if (location.backend == StoreLocation::Backend::SQLite) {
      // The online backup writes the whole file in one transaction of the
      // store's.
      sqliteCopy(file, location.file, false);
    } else {
      // What the copy holds is dropped and made again in one transaction:
      // a restore that fails leaves the store as it was. Owners and grants
      // are the server's own: the tables belong to the login that restores
      // them, and the client's login is granted again with kgadmin
      // create-login.
      runPostgresProgram(location, QStringLiteral("pg_restore"),
                         {QStringLiteral("--clean"), QStringLiteral("--if-exists"), QStringLiteral("--no-owner"),
                          QStringLiteral("--no-acl"), QStringLiteral("--single-transaction"),
                          QStringLiteral("--exit-on-error"), QStringLiteral("--dbname=") + location.database, file});
    }
  } catch (const StoreError &error) {
    Store unchanged(location);
    err() << "restore: nothing changed (" << applications(unchanged)
          << " application(s) stored, as before): " << error.message() << "\n";
    if (!copy.isEmpty())
      err() << "restore: the copy written first is " << copy << "\n";
    return kStoreFailed;
  }
  Store restored(location);
  const int rows = applications(restored);
  out() << "restore: " << location.describe() << " now holds the copy " << file << " (" << rows
        << " application(s); it held " << before << ")\n";
  if (!copy.isEmpty())
    out() << "restore: what it held before was copied to " << copy << "\n";
  if (location.backend == StoreLocation::Backend::PostgreSQL)
    out() << "restore: grant the client's login again with kgadmin create-login\n";
  return kDone;
}

} // namespace admin
