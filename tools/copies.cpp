// kgadmin backup and restore: a consistent copy of a store taken while
// clients file, and a store brought back from one. The embedded store is
// copied with SQLite's online backup; PostgreSQL with pg_dump and
// pg_restore. A SQL Server store is backed up on its server.

#include "tools/admin.h"

#include "store/records.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
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

// Whether the file is an SQLite database holding the registration tables.
bool sqliteStoreFile(const QString &file) {
  sqlite3 *handle = nullptr;
  bool found = false;
  if (sqlite3_open_v2(QFile::encodeName(file).constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(handle, "select count(*) from sqlite_master where type = 'table' and name = 'lz_yjxxk'", -1,
                           &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      found = sqlite3_column_int(statement, 0) == 1;
    sqlite3_finalize(statement);
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

void runPostgresProgram(const StoreLocation &location, const QString &name, const QStringList &arguments) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("PGPASSWORD"), location.password);
  environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QString::number(location.loginTimeout));
  process.setProcessEnvironment(environment);
  process.start(postgresProgram(name),
                QStringList{QStringLiteral("--host=") + location.host,
                            QStringLiteral("--port=") + QString::number(location.port),
                            QStringLiteral("--username=") + location.user, QStringLiteral("--no-password")} +
                    arguments);
  if (!process.waitForStarted(10000))
    throw StoreError(QStringLiteral("cannot start %1: %2").arg(name, process.errorString()));
  process.waitForFinished(-1);
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    throw StoreError(
        QStringLiteral("%1 failed: %2").arg(name, QString::fromLocal8Bit(process.readAllStandardError()).trimmed()));
}

void writeCopy(Store &store, const QString &file) {
  const StoreLocation &location = store.location();
  if (store.dialect() == schema::Dialect::SQLite) {
    const QString scratch = file + QStringLiteral(".part");
    QFile::remove(scratch);
    try {
      sqliteCopy(location.file, scratch, true);
    } catch (...) {
      QFile::remove(scratch);
      throw;
    }
    if (!QFile::rename(scratch, file)) {
      QFile::remove(scratch);
      throw StoreError(QStringLiteral("cannot write %1").arg(file));
    }
    return;
  }
  // pg_dump's copy is one snapshot of the database, taken while clients
  // go on filing.
  const QString scratch = file + QStringLiteral(".part");
  try {
    runPostgresProgram(location, QStringLiteral("pg_dump"),
                       {QStringLiteral("--format=custom"), QStringLiteral("--file=") + scratch, location.database});
  } catch (...) {
    QFile::remove(scratch);
    throw;
  }
  QFile::remove(file);
  if (!QFile::rename(scratch, file))
    throw StoreError(QStringLiteral("cannot write %1").arg(file));
}

void checkNewFile(const QString &command, const QString &file) {
  const QFileInfo info(file);
  if (info.exists())
    throw UsageError{QStringLiteral("%1: \"%2\" exists already; name a new file").arg(command, file)};
  if (!QFileInfo(info.absolutePath()).isDir())
    throw UsageError{QStringLiteral("%1: the folder of \"%2\" does not exist").arg(command, file)};
}

} // namespace

QString safetyCopy(Store &store) {
  refuseSqlServer(store, QStringLiteral("init --force"));
  const StoreLocation &location = store.location();
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  const QString file =
      location.backend == StoreLocation::Backend::SQLite
          ? QStringLiteral("%1.%2.copy.db").arg(location.file, stamp)
          : QDir::current().absoluteFilePath(QStringLiteral("%1.%2.copy.dump").arg(location.database, stamp));
  writeCopy(store, file);
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
  if (location.backend == StoreLocation::Backend::SQLite && !sqliteStoreFile(file))
    throw UsageError{QStringLiteral("restore: \"%1\" is not a copy of an embedded store").arg(file)};
  Store store(location, location.backend == StoreLocation::Backend::SQLite);
  refuseSqlServer(store, args.at(0));
  QString copy;
  if (schema::hasTables(store.db())) {
    if (!force) {
      err() << "restore: " << location.describe()
            << " already holds registration tables; nothing changed. Use --force to replace them (a copy is "
               "written first).\n";
      return kStoreFailed;
    }
    copy = safetyCopy(store);
  }
  if (location.backend == StoreLocation::Backend::SQLite) {
    sqliteCopy(file, location.file, false);
  } else {
    if (!copy.isEmpty()) {
      store.begin();
      try {
        for (const QString &statement :
             schema::dropStatements(store.dialect()) + schema::dropRecordStatements(store.dialect()))
          schema::exec(store.db(), statement);
        store.commit();
      } catch (...) {
        store.rollback();
        throw;
      }
    }
    // Owners and grants are the server's own: the tables belong to the
    // login that restores them, and the client's login is granted again
    // with kgadmin create-login.
    runPostgresProgram(location, QStringLiteral("pg_restore"),
                       {QStringLiteral("--no-owner"), QStringLiteral("--no-acl"),
                        QStringLiteral("--single-transaction"), QStringLiteral("--exit-on-error"),
                        QStringLiteral("--dbname=") + location.database, file});
  }
  Store restored(location);
  const int rows = restored.value(QStringLiteral("select count(*) from lz_yjxxk")).toInt();
  out() << "restore: " << location.describe() << " now holds the copy " << file << " (" << rows << " application(s))\n";
  if (!copy.isEmpty())
    out() << "restore: what it held before was copied to " << copy << "\n";
  if (location.backend == StoreLocation::Backend::PostgreSQL)
    out() << "restore: grant the client's login again with kgadmin create-login\n";
  return kDone;
}

} // namespace admin
