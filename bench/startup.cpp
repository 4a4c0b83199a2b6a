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
  QList<QPair<QString, double>> stages; // step of the start, ms after the spawn
};

// Runs program (with its arguments) and the extra environment; returns what
// it reported, or paintedMs < 0 when it did not report within the time-out.
Started startOnce(const QStringList &program, const QStringList &environment, int timeoutMs) {
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
  std::vector<std::string> args;
  for (const QString &arg : program)
    args.push_back(arg.toStdString());
  std::vector<char *> argv;
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string &path = args.front();

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
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", path.c_str(), std::strerror(rc));
    close(pipeFds[0]);
    return {};
  }
  std::string output;
  const std::int64_t deadline = begin + std::int64_t(timeoutMs) * 1000000;
  auto reported = [&] {
    const std::size_t at = output.find("painted");
    return at != std::string::npos && output.find('\n', at) != std::string::npos;
  };
  while (!reported()) {
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
  const std::size_t at = output.find("painted");
  if (const std::size_t stages = output.find("stages"); stages != std::string::npos) {
    const QString line = QString::fromStdString(output.substr(stages, output.find('\n', stages) - stages));
    for (const QString &pair : line.split(QLatin1Char(' '), Qt::SkipEmptyParts).mid(1))
      started.stages << qMakePair(pair.section(QLatin1Char('='), 0, 0),
                                  double(pair.section(QLatin1Char('='), 1).toLongLong() - begin) / 1e6);
  }
  if (at != std::string::npos && std::sscanf(output.c_str() + at, "painted %lld %ld", &painted, &peak) == 2) {
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

// The three programs take turns, each round in another order; the first
// round warms the file and font caches and is not counted.
void compare(const QString &label, const QStringList &client, const QStringList &hello, const QStringList &blank,
             const QStringList &environment, int runs) {
  bench::reportLoad(label);
  const QList<QStringList> programs = {client, hello, blank};
  std::vector<double> painted[3];
  long peak[3] = {-1, -1, -1};
  int failures = 0;
  for (int run = 0; run <= runs; ++run) {
    Started round[3];
    for (int k = 0; k < 3; ++k) {
      const int p = (run + k) % 3;
      round[p] = startOnce(programs[p], environment, 30000);
    }
    bool complete = true;
    for (const Started &one : round)
      complete = complete && one.paintedMs >= 0;
    if (!complete) {
      ++failures;
      continue;
    }
    if (run == 0)
      continue;
    for (int p = 0; p < 3; ++p) {
      painted[p].push_back(round[p].paintedMs);
      peak[p] = std::max(peak[p], round[p].peakKiB);
    }
  }
  const bench::Summary c = bench::summarise(painted[0]);
  const bench::Summary h = bench::summarise(painted[1]);
  const bench::Summary b = bench::summarise(painted[2]);
  std::fprintf(stderr,
               "%s: client %.1f ms (min %.1f, max %.1f), hello %.1f ms (min %.1f, max %.1f), blank %.1f ms (min %.1f, "
               "max %.1f); %d rounds failed\n",
               qPrintable(label), c.median, c.min, c.max, h.median, h.min, h.max, b.median, b.min, b.max, failures);
  if (c.count == 0) {
    bench::row(label, QStringLiteral("start to notice painted"), QStringLiteral("no run reported"),
               QStringLiteral("reports"), bench::verdict(false));
    return;
  }
  bench::row(
      label,
      QStringLiteral("start to first paint, median of %1 (ms): client notice / hello label / blank window")
          .arg(c.count),
      QStringLiteral("%1 / %2 / %3").arg(bench::number(c.median), bench::number(h.median), bench::number(b.median)));
  const double ratio = c.median / h.median;
  bench::row(label, QStringLiteral("client : minimal Qt Widgets program (hello label)"), bench::number(ratio, 2),
             QStringLiteral("<= 1.50"), bench::timedVerdict(ratio <= 1.5 && failures == 0));
  bench::row(label, QStringLiteral("  client : blank window (no font loaded)"), bench::number(c.median / b.median, 2));
  // Where the client's time goes: its start once more with the stages
  // reported, medians per step.
  QMap<QString, std::vector<double>> steps;
  for (int run = 0; run < std::max(5, runs / 2); ++run) {
    const Started staged = startOnce(QStringList(client) << QStringLiteral("--stages"), environment, 30000);
    for (const auto &stage : staged.stages)
      steps[stage.first].push_back(stage.second);
    if (staged.paintedMs >= 0)
      steps[QStringLiteral("painted")].push_back(staged.paintedMs);
  }
  // Each step runs from one mark to the next.
  auto at = [&](const char *name) { return bench::summarise(steps.value(QLatin1String(name))).median; };
  const struct {
    const char *name;
    const char *from;
    const char *to;
  } spans[] = {
      {"exec+libraries", nullptr, "main"}, {"TApplication", "main", "application"}, {"formats", "application", "form1"},
      {"Form1", "form1", "form2"},         {"Form2..4", "form2", "shown"},          {"activation", "shown", "gate"},
      {"gate+store", "gate", "notice"},    {"paint", "notice", "painted"},
  };
  QStringList breakdown;
  for (const auto &span : spans) {
    if (!steps.contains(QLatin1String(span.to)) || (span.from && !steps.contains(QLatin1String(span.from))))
      continue;
    breakdown << QStringLiteral("%1 %2").arg(QLatin1String(span.name),
                                             bench::number(at(span.to) - (span.from ? at(span.from) : 0)));
  }
  bench::row(label, QStringLiteral("  client's steps, medians (ms)"), breakdown.join(QStringLiteral(", ")));
  bench::row(
      label, QStringLiteral("  peak resident at first paint: client / hello / blank (MiB)"),
      QStringLiteral("%1 / %2 / %3")
          .arg(bench::number(peak[0] / 1024.0), bench::number(peak[1] / 1024.0), bench::number(peak[2] / 1024.0)));
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
  const QStringList client = {folder + QStringLiteral("/kgbench_client_start")};
  const QStringList hello = {folder + QStringLiteral("/kgbench_minimal")};
  const QStringList blank = {folder + QStringLiteral("/kgbench_minimal"), QStringLiteral("--blank")};
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
      bench::Store store = bench::sqliteStore(scratch.path());
      compare(QStringLiteral("start-up SQLite"), client, hello, blank,
              common + QStringList{QStringLiteral("KG_STORE=") + store.location().setting()}, runs);
    }
    const QString server = options.isSet(QStringLiteral("server")) ? options.value(QStringLiteral("server"))
                                                                   : qEnvironmentVariable("KG_TEST_PG");
    if (!server.isEmpty()) {
      bench::Store store = bench::postgresStore(server);
      compare(QStringLiteral("start-up PostgreSQL"), client, hello, blank,
              common + QStringList{QStringLiteral("KG_STORE=") + store.location().setting()}, runs);
    }
  } catch (const std::exception &error) {
    std::fprintf(stderr, "kgbench_start: %s\n", error.what());
    return 1;
  }
  return 0;
}
