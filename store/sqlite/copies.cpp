// Copies of an embedded store: SQLite's online backup, and the check that a
// file is a whole store.

#include "store/sqlite/backend.h"

#include <QFile>
#include <sqlite3.h>

namespace sqlitecopies {

// Copies the whole of one SQLite database into another with the online
// backup: pages are copied while other connections go on writing, and the
// copy is of one moment.
void copy(const QString &from, const QString &to, bool createTarget) {
  sqlite3 *source = nullptr;
  sqlite3 *target = nullptr;
  const auto fail = [&](const QString &what, sqlite3 *handle) {
    const QString message = QStringLiteral("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(handle)));
    sqlite3_close(source);
    sqlite3_close(target);
    throw StoreError(message);
  };
  if (sqlite3_open_v2(from.toUtf8().constData(), &source, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    fail(QStringLiteral("cannot open %1").arg(from), source);
  const int mode = SQLITE_OPEN_READWRITE | (createTarget ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(to.toUtf8().constData(), &target, mode, nullptr) != SQLITE_OK)
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
bool isStoreFile(const QString &file) {
  sqlite3 *handle = nullptr;
  bool found = false;
  if (sqlite3_open_v2(file.toUtf8().constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
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

} // namespace sqlitecopies
