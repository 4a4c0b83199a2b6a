// CPU accounting of the rush: processes, threads, the machine, the server
// sessions behind the query objects.

#include "rush/rush.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace rush {

std::int64_t cpuNs(qint64 pid) {
  // A negative pid is a thread of this process.
  QFile file(pid > 0   ? QStringLiteral("/proc/%1/schedstat").arg(pid)
             : pid < 0 ? QStringLiteral("/proc/self/task/%1/schedstat").arg(-pid)
                       : QStringLiteral("/proc/self/schedstat"));
  if (!file.open(QIODevice::ReadOnly))
    return -1;
  bool ok = false;
  const std::int64_t ns = file.readAll().split(' ').value(0).toLongLong(&ok);
  return ok ? ns : -1;
}

std::int64_t ownCpuNs() {
  std::int64_t sum = 0;
  for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    sum += std::max<std::int64_t>(0, cpuNs(-task.toLongLong()));
  return sum;
}

qint64 backendOf(QueryObject &query) {
  if (query.location().backend != StoreLocation::Backend::PostgreSQL)
    return 0;
  query.close();
  query.setSql(Statement::plain(QStringLiteral("select pg_backend_pid() as pid")));
  query.open();
  const qint64 pid = query.fieldValue(QStringLiteral("pid")).toLongLong();
  query.close();
  return pid;
}

} // namespace rush
