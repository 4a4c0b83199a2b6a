// Start-up: from process start to the filing notice painted, offscreen,
// against the smallest Qt Widgets program that paints one window. Both are
// started in turn by this driver, which takes the time before it spawns a
// program and the program prints the time of its first complete paint (one
// clock for the whole machine).
//
//   kgbench_start [--runs 21] [--server postgres://...]   (SQLite always;
//                                                           PostgreSQL when given or $KG_TEST_PG)

#include "benchlib.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Started {
  double paintedMs = -1; // spawn to first complete paint
  double exitedMs = -1;  // spawn to exit
  long peakKiB = -1;
};

// Runs program with the extra environment; returns what it reported, or
// paintedMs < 0 when it did not report within the time-out.
Started startOnce(const QString &program, const QStringList &environment, int timeoutMs) {
  std::vector<std::string> env;
  for (char **entry = environ; *entry; ++entry) {
    const std::string text(*entry);
    bool replaced = false;
    for (const QString &extra : environment)
      replaced = replaced || text.rfind(extra.section(QLatin1Char('='), 0, 0).toStdString() + "=", 0) == 0;
    if (!replaced)
      env.push_back(text);
  }
  for (const QString &extra : environment)
    env.push_back(extra.toStdString());
  std::vector<char *> envp;
  for (std::string &text : env)
    envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string path = program.toStdString();
  char *argv[] = {path.data(), nullptr};

  int pipeFds[2];
  if (pipe(pipeFds) != 0)
    return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);

  Started started;
  pid_t pid = 0;
  const std::int64_t begin = bench::nowNs();
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", path.c_str(), std::strerror(rc));
    close(pipeFds[0]);
    return {};
  }
  std::string output;
  const std::int64_t deadline = begin + std::int64_t(timeoutMs) * 1000000;
  while (output.find('\n') == std::string::npos) {
    const int left = int((deadline - bench::nowNs()) / 1000000);
    if (left <= 0)
      break;
    pollfd readable{pipeFds[0], POLLIN, 0};
    if (poll(&readable, 1, left) <= 0)
      continue;
    char buffer[256];
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0)
      break;
    output.append(buffer, std::size_t(n));
  }
  long long painted = 0;
  long peak = -1;
  if (std::sscanf(output.c_str(), "painted %lld %ld", &painted, &peak) == 2) {
    started.paintedMs = double(painted - begin) / 1e6;
    started.peakKiB = peak;
  } else {
    kill(pid, SIGKILL); // our own child, which did not report in time
  }
  int status = 0;
  waitpid(pid, &status, 0);
  started.exitedMs = double(bench::nowNs() - begin) / 1e6;
  close(pipeFds[0]);
  return started;
}

void compare(const QString &label, const QString &client, const QString &minimal, const QStringList &environment,
             int runs) {
  std::vector<double> clientMs, minimalMs, clientExitMs;
  long clientPeak = -1, minimalPeak = -1;
  int failures = 0;
  // The first pair warms the file cache and the font cache; it is not counted.
  for (int run = 0; run <= runs; ++run) {
    const bool clientFirst = run % 2 == 0;
    Started a = startOnce(clientFirst ? client : minimal, environment, 30000);
    Started b = startOnce(clientFirst ? minimal : client, environment, 30000);
    const Started &c = clientFirst ? a : b;
    const Started &m = clientFirst ? b : a;
    if (c.paintedMs < 0 || m.paintedMs < 0) {
      ++failures;
      continue;
    }
    if (run == 0)
      continue;
    clientMs.push_back(c.paintedMs);
    clientExitMs.push_back(c.exitedMs);
    minimalMs.push_back(m.paintedMs);
    clientPeak = std::max(clientPeak, c.peakKiB);
    minimalPeak = std::max(minimalPeak, m.peakKiB);
  }
  const bench::Summary c = bench::summarise(clientMs);
  const bench::Summary m = bench::summarise(minimalMs);
  std::fprintf(stderr, "%s: client %.1f ms (min %.1f, max %.1f), minimal %.1f ms (min %.1f, max %.1f), %d failed\n",
               qPrintable(label), c.median, c.min, c.max, m.median, m.min, m.max, failures);
  if (c.count == 0 || m.count == 0) {
    bench::row(label, QStringLiteral("start to notice painted"), QStringLiteral("no run reported"),
               QStringLiteral("reports"), bench::verdict(false));
    return;
  }
  bench::row(label,
             QStringLiteral("start to first paint, median of %1 (ms): client notice / minimal window").arg(c.count),
             QStringLiteral("%1 / %2").arg(bench::number(c.median), bench::number(m.median)));
  const double ratio = c.median / m.median;
  bench::row(label, QStringLiteral("client : minimal Qt Widgets program"), bench::number(ratio, 2),
             QStringLiteral("<= 1.50"), bench::verdict(ratio <= 1.5 && failures == 0));
  bench::row(label, QStringLiteral("  peak resident at the notice: client / minimal (MiB)"),
             QStringLiteral("%1 / %2").arg(bench::number(clientPeak / 1024.0), bench::number(minimalPeak / 1024.0)));
}

} // namespace

int main(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  QCommandLineParser options;
  options.setApplicationDescription(QStringLiteral("Start-up of the client against a minimal Qt Widgets program."));
  options.addHelpOption();
  options.addOptions({
      {QStringLiteral("runs"), QStringLiteral("starts of each program"), QStringLiteral("n"), QStringLiteral("21")},
      {QStringLiteral("server"), QStringLiteral("PostgreSQL server (default $KG_TEST_PG)"), QStringLiteral("url")},
  });
  options.process(app);
  const int runs = std::max(1, options.value(QStringLiteral("runs")).toInt());
  const QString folder = QCoreApplication::applicationDirPath();
  const QString client = folder + QStringLiteral("/kgbench_client_start");
  const QString minimal = folder + QStringLiteral("/kgbench_minimal");
  try {
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/kgbench-start-XXXXXX"));
    // The regional key with the client's formats: the gate lets it through.
    const QString regional = scratch.filePath(QStringLiteral("International.ini"));
    QFile key(regional);
    if (!key.open(QIODevice::WriteOnly))
      throw StoreError(QStringLiteral("cannot write %1").arg(regional));
    key.write("sDate=-\nsShortDate=yyyy-MM-dd\nsTimeFormat=HH:mm:ss\n");
    key.close();
    const QString platform = qEnvironmentVariableIsSet("QT_QPA_PLATFORM")
                                 ? qEnvironmentVariable("QT_QPA_PLATFORM")
                                 : QStringLiteral("offscreen:configfile=") + QString::fromUtf8(KG_BENCH_SCREEN);
    const QStringList common = {QStringLiteral("QT_QPA_PLATFORM=") + platform,
                                QStringLiteral("KG_REGIONAL_FILE=") + regional};
    {
      bench::Store store = bench::Store::sqlite(scratch.path());
      compare(QStringLiteral("start-up SQLite"), client, minimal,
              common + QStringList{QStringLiteral("KG_STORE=") + store.url()}, runs);
    }
    const QString server = options.isSet(QStringLiteral("server")) ? options.value(QStringLiteral("server"))
                                                                   : qEnvironmentVariable("KG_TEST_PG");
    if (!server.isEmpty()) {
      bench::Store store = bench::Store::postgres(server);
      compare(QStringLiteral("start-up PostgreSQL"), client, minimal,
              common + QStringList{QStringLiteral("KG_STORE=") + store.url()}, runs);
    }
  } catch (const std::exception &error) {
    std::fprintf(stderr, "kgbench_start: %s\n", error.what());
    return 1;
  }
  return 0;
}
