// Copies of a PostgreSQL store: pg_dump's custom format, read back by
// pg_restore.

#include "store/postgres/backend.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace postgrescopies {

// A PostgreSQL client program (pg_dump, pg_restore) of the installed server.
QString program(const QString &name) {
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
QByteArray run(const StoreLocation &location, const QString &name, const QStringList &arguments, bool connects) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("PGPASSWORD"), location.password);
  environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QString::number(location.loginTimeout));
  environment.insert(QStringLiteral("PGOPTIONS"), QStringLiteral("-c lock_timeout=10s"));
  process.setProcessEnvironment(environment);
  process.start(program(name),
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
QString problem(const StoreLocation &location, const QString &file) {
  try {
    const QByteArray contents = run(location, QStringLiteral("pg_restore"), {QStringLiteral("--list"), file}, false);
    if (!contents.contains(" TABLE public lz_yjxxk "))
      return QStringLiteral("it holds no table lz_yjxxk");
    run(location, QStringLiteral("pg_restore"), {QStringLiteral("--file=") + QProcess::nullDevice(), file}, false);
  } catch (const StoreError &error) {
    return error.message();
  }
  return {};
}

} // namespace postgrescopies
