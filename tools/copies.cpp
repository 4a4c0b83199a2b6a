// kgadmin backup and restore: a consistent copy of a store taken while
// clients file, and a store brought back from one. The embedded store is
// copied with SQLite's online backup; PostgreSQL with pg_dump and
// pg_restore. A SQL Server store is backed up on its server.

#include "tools/admin.h"

#include "store/driver.h"
#include "store/records.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace admin {

namespace {

// The driver of the server the open store speaks.
const StoreDriver &driverOf(const Store &store) { return drivers::forDialect(store.dialect()); }

int applications(Store &store) {
  return schema::hasTable(store.connection(), QStringLiteral("lz_yjxxk"))
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
    driverOf(store).writeCopy(location, scratch);
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
  const StoreDriver &driver = driverOf(store);
  driver.refuseCopies(QStringLiteral("init --force"));
  const StoreLocation &location = store.location();
  const QString folder = copiesFolder();
  if (!QDir().mkpath(folder))
    throw StoreError(QStringLiteral("the folder of the copies, %1, cannot be made").arg(folder));
  // Named by the store, the time and this process, so that two commands in
  // the same second never write the same copy; numbered on when one exists.
  const QString base = driver.copyName(location);
  const QString stamp = QStringLiteral("%1-%2")
                            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                            .arg(QCoreApplication::applicationPid());
  const QString suffix = driver.copySuffix();
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
  driverOf(store).refuseCopies(args.at(0));
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
  if (const QString problem = drivers::forLocation(location).copyProblem(location, file); !problem.isEmpty())
    throw UsageError{QStringLiteral("restore: \"%1\" is %2; nothing changed").arg(file, problem)};
  // A restore may make the embedded store's file.
  Store store(location, true);
  driverOf(store).refuseCopies(args.at(0));
  store.takeTurn();
  const int before = applications(store);
  QString copy;
  if (schema::hasTables(store.connection())) {
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
    driverOf(store).restoreCopy(location, file);
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
  if (const QString next = drivers::forLocation(location).afterRestore(); !next.isEmpty())
    out() << "restore: " << next << "\n";
  return kDone;
}

} // namespace admin
