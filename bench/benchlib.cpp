#include "benchlib.h"

#include "core/gbk.h"
#include "filing/catchment.h"
#include "filing/steps.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <unistd.h>

namespace bench {

std::int64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double seconds(std::int64_t ns) { return double(ns) / 1e9; }

Summary summarise(std::vector<double> samples) {
  Summary summary;
  summary.count = samples.size();
  if (samples.empty())
    return summary;
  std::sort(samples.begin(), samples.end());
  auto rank = [&](double fraction) {
    // Nearest rank: the smallest sample with at least `fraction` of all at or below it.
    std::size_t index = std::size_t(std::ceil(fraction * double(samples.size())));
    return samples[std::min(samples.size(), std::max<std::size_t>(index, 1)) - 1];
  };
  summary.median = rank(0.5);
  summary.p99 = rank(0.99);
  summary.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / double(samples.size());
  summary.min = samples.front();
  summary.max = samples.back();
  return summary;
}

void row(const QString &benchmark, const QString &figure, const QString &value, const QString &target,
         const QString &verdict) {
  const QByteArray line =
      QStringLiteral("ROW|%1|%2|%3|%4|%5\n").arg(benchmark, figure, value, target, verdict).toUtf8();
  std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
  std::fflush(stdout);
}

QString verdict(bool met) { return met ? QStringLiteral("met") : QStringLiteral("MISSED"); }

double startLoad() {
  static const double load = [] {
    bool given = false;
    const double fromScript = qEnvironmentVariable("KG_BENCH_LOAD").toDouble(&given);
    if (given)
      return fromScript;
    double averages[1] = {0};
    return getloadavg(averages, 1) == 1 ? averages[0] : 0.0;
  }();
  return load;
}

double busyCoresAtStart() {
  static const double busy = [] {
    const auto [busyBefore, totalBefore] = machineTicks();
    QThread::msleep(1000);
    const auto [busyAfter, totalAfter] = machineTicks();
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    return ticksPerSecond > 0 && totalAfter > totalBefore ? double(busyAfter - busyBefore) / double(ticksPerSecond)
                                                          : 0.0;
  }();
  return busy;
}

namespace {
bool quiet() { return startLoad() < kBusyLoad && busyCoresAtStart() < kBusyLoad; }
} // namespace

QString timedVerdict(bool met) {
  if (!quiet())
    return QStringLiteral("not judged: load %1, %2 cores busy at the start")
        .arg(number(startLoad(), 2), number(busyCoresAtStart(), 2));
  return verdict(met);
}

void reportLoad(const QString &benchmark) {
  row(benchmark, QStringLiteral("load average at the start (1 min); cores busy in the second before"),
      QStringLiteral("%1; %2").arg(number(startLoad(), 2), number(busyCoresAtStart(), 2)),
      QStringLiteral("< %1; < %1").arg(number(kBusyLoad, 2)),
      quiet() ? QStringLiteral("quiet") : QStringLiteral("busy: times not judged"));
}

std::pair<std::int64_t, std::int64_t> machineTicks() {
  QFile file(QStringLiteral("/proc/stat"));
  if (!file.open(QIODevice::ReadOnly))
    return {0, 0};
  const QList<QByteArray> fields = file.readLine().simplified().split(' ');
  std::int64_t total = 0;
  std::int64_t idle = 0;
  for (qsizetype i = 1; i < fields.size() && i <= 8; ++i) {
    total += fields[i].toLongLong();
    if (i == 4 || i == 5) // idle, iowait
      idle += fields[i].toLongLong();
  }
  return {total - idle, total};
}

QString number(double value, int decimals) { return QString::number(value, 'f', decimals); }

// ---------------------------------------------------------------------------

Store sqliteStore(const QString &folder, const QString &name) {
  return ScratchStore::sqlite(QFileInfo(folder + QLatin1Char('/') + name).absoluteFilePath(),
                              QStringLiteral("Bench store"));
}

Store postgresStore(const QString &serverUrl) {
  return ScratchStore::postgres(StoreLocation::parse(serverUrl), QStringLiteral("kgbench"),
                                QStringLiteral("Bench store"));
}

// ---------------------------------------------------------------------------

QString identity(qint64 i) {
  // Region 110000.. (one per thousand children), born 2019-05-01, a running
  // number of three digits whose last gives the sex, and a check digit.
  const qint64 region = 110000 + i / 1000;
  const int running = int(i % 1000);
  return QStringLiteral("%1%2%3%4")
      .arg(region, 6, 10, QLatin1Char('0'))
      .arg(QStringLiteral("20190501"))
      .arg(running, 3, 10, QLatin1Char('0'))
      .arg(QLatin1Char('X'));
}

namespace {

struct Place {
  QString street;
  QString community;
};

// The first street and community (in list order) whose catchment offers the
// kindergarten.
Place placeOf(const QString &kindergarten) {
  for (const catchment::Street &street : catchment::streets()) {
    const QString streetName = QString::fromUtf8(street.name);
    for (const char *community : street.communities) {
      const QString name = QString::fromUtf8(community);
      if (catchment::kindergartensFor(name, streetName).contains(kindergarten))
        return {streetName, name};
    }
  }
  return {QStringLiteral("东澄街道"), QStringLiteral("其他")};
}

} // namespace

QVariantMap application(const QString &number, const QString &kindergarten) {
  static QHash<QString, Place> places;
  auto found = places.find(kindergarten);
  if (found == places.end())
    found = places.insert(kindergarten, placeOf(kindergarten));
  const Place &place = found.value();
  const bool boy = (number.mid(16, 1).toInt() % 2) != 0;
  const QString group = catchment::isUngrouped(place.community) ? catchment::noGroups() : catchment::groupName(1);
  return QVariantMap{
      {QStringLiteral("身份证号"), number},
      {QStringLiteral("姓名"), boy ? QStringLiteral("张小明") : QStringLiteral("王小红")},
      {QStringLiteral("性别"), boy ? QStringLiteral("男") : QStringLiteral("女")},
      {QStringLiteral("民族"), QStringLiteral("汉族")},
      {QStringLiteral("出生日期"), QStringLiteral("2019-05-01")},
      {QStringLiteral("区县"), QStringLiteral("澄岭区")},
      {QStringLiteral("镇乡或街道"), place.street},
      {QStringLiteral("村或社区"), place.community},
      {QStringLiteral("组"), group},
      {QStringLiteral("户主姓名"), boy ? QStringLiteral("张大明") : QStringLiteral("王大")},
      {QStringLiteral("户主与儿童关系"), boy ? QStringLiteral("父子") : QStringLiteral("母子")},
      {QStringLiteral("户口簿详细地址"), QStringLiteral("澄岭区和平路108号3单元502室")},
      {QStringLiteral("监护人一姓名"), boy ? QStringLiteral("张大明") : QStringLiteral("王大")},
      {QStringLiteral("监护人一电话"), QStringLiteral("13800000001")},
      {QStringLiteral("监护人二姓名"), QStringLiteral("李小红")},
      {QStringLiteral("监护人二电话"), QStringLiteral("13800000002")},
      {QStringLiteral("申请幼儿园名称"), kindergarten},
      {QStringLiteral("部别"), QStringLiteral("小班")},
      {QStringLiteral("填报日期"), QDateTime(QDate(2022, 6, 20), QTime(0, 0))},
      {QStringLiteral("入户日期"), QStringLiteral("2019-06-01")},
  };
}

// ---------------------------------------------------------------------------

const char *Client::name(Outcome outcome) {
  switch (outcome) {
  case Outcome::Filed: return "filed";
  case Outcome::QuotaFull: return "full";
  case Outcome::QuotaFullAtAppend: return "full-at-append";
  case Outcome::Duplicate: return "duplicate";
  case Outcome::DuplicateAtAppend: return "duplicate-at-append";
  case Outcome::Failed: return "failed";
  }
  return "?";
}

Client::Client(const StoreLocation &store)
    : ADOTab(QStringLiteral("ADOTab"), 10, store), BDOTab(QStringLiteral("BDOTab"), 30, store) {}

void Client::start(const QString &community) {
  filing::selectSwitch(ADOTab);
  if (ADOTab.fieldAsString(QStringLiteral("幼儿园版本")) != QLatin1String(schema::kReferenceVersion) ||
      !ADOTab.fieldAsBoolean(QStringLiteral("幼儿园填报")))
    throw StoreError(QStringLiteral("The store refuses this client or filing is closed"));
  filing::selectServerTime(ADOTab);
  serverDate = QDateTime(ADOTab.fieldValue(QStringLiteral("日期")).toDateTime().date(), QTime(0, 0));
  ADOTab.close();
  filing::countGroups(BDOTab, community);
}

void Client::lookup(const QString &number) {
  // BitBtn1Click: the lookup with the grid's display suspended, the column
  // widths, the two columns the found message names.
  ADOTab.disableControls();
  try {
    filing::lookup(ADOTab, number);
    for (const QString &column : ADOTab.columnNames())
      ADOTab.setDisplayWidth(column, column == QStringLiteral("姓名")       ? 8
                                     : column == QStringLiteral("身份证号") ? 18
                                                                            : gbk::byteLength(column));
    if (ADOTab.rowCount() > 0) {
      const QString found =
          ADOTab.fieldAsString(QStringLiteral("申请幼儿园名称")) + ADOTab.fieldAsString(QStringLiteral("部别"));
      if (found.isEmpty())
        throw StoreError(QStringLiteral("The lookup found a row without kindergarten"));
    }
  } catch (...) {
    ADOTab.enableControls();
    throw;
  }
  ADOTab.enableControls();
}

Client::Outcome Client::file(const QString &number, const QString &kindergarten, QString *error) {
  thirdYes = appendSent = appendAnswered = 0;
  try {
    // 申请填报 runs the lookup first; a found application ends it.
    lookup(number);
    if (ADOTab.rowCount() > 0)
      return Outcome::Duplicate;

    // 提交申报表: the quota count.
    filing::countQuota(BDOTab, kindergarten);
    const quota::Entry *place = quota::find(kindergarten);
    if (place && quota::full(*place, BDOTab.rowCount())) {
      BDOTab.close();
      return Outcome::QuotaFull;
    }
    // (the three confirmations are answered Yes at once)
    thirdYes = nowNs();
    filing::checkDuplicate(BDOTab, number);
    if (BDOTab.rowCount() > 0)
      return Outcome::Duplicate;

    QVariantMap values = application(number, kindergarten);
    values.insert(QStringLiteral("填报日期"), serverDate);
    // The order of the record table, as the form sets them.
    filing::Columns columns;
    for (const char *column : {"身份证号",       "姓名",           "性别",         "民族",         "出生日期",
                               "区县",           "镇乡或街道",     "村或社区",     "组",           "户主姓名",
                               "户主与儿童关系", "户口簿详细地址", "监护人一姓名", "监护人一电话", "监护人二姓名",
                               "监护人二电话",   "申请幼儿园名称", "部别",         "填报日期",     "入户日期"})
      columns.append({QString::fromUtf8(column), values.value(QString::fromUtf8(column))});
    try {
      appendSent = nowNs();
      filing::append(ADOTab, columns);
      appendAnswered = nowNs();
    } catch (const AppendRefused &refusal) {
      appendAnswered = nowNs();
      if (refusal.reason() == AppendRefused::Reason::QuotaFull)
        return Outcome::QuotaFullAtAppend;
      lookup(number);
      return Outcome::DuplicateAtAppend;
    }
    ADOTab.requery();
    lookup(number);
    if (ADOTab.rowCount() != 1)
      throw StoreError(QStringLiteral("The lookup after the append found %1 rows").arg(ADOTab.rowCount()));
    return Outcome::Filed;
  } catch (const std::exception &failure) {
    if (error)
      *error = QString::fromUtf8(failure.what());
    ADOTab.close();
    BDOTab.close();
    return Outcome::Failed;
  }
}

// ---------------------------------------------------------------------------

namespace {
long statusKiB(const char *field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly))
    return -1;
  const QByteArray prefix = QByteArray(field) + ':';
  for (const QByteArray &line : status.readAll().split('\n')) {
    if (line.startsWith(prefix))
      return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
  }
  return -1;
}
} // namespace

long peakResidentKiB() { return statusKiB("VmHWM"); }
long residentKiB() { return statusKiB("VmRSS"); }

void useOffscreenScreen() {
  if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    return;
  qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + KG_BENCH_SCREEN);
}

} // namespace bench
