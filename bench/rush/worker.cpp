// The plan of the rush and a client worker: a process with the main
// window's two query objects filing its share through the windows' steps.

#include "rush/rush.h"

#include "core/gbk.h"
#include "filing/catchment.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <random>
#include <string>

using bench::Client;

namespace rush {

// Which kindergarten each attempt files into: every kindergarten gets the
// same multiple of its capacity (so that all fill up at about the same pace
// and every one of them is asked for more than it holds), in a shuffled
// order that every process derives alike.
std::vector<int> plan(int attempts) {
  const auto quotas = quota::table();
  int places = 0;
  for (const quota::Entry &entry : quotas)
    places += entry.capacity;
  std::vector<int> order;
  for (int k = 0; k < int(quotas.size()); ++k) {
    const int share = (quotas[k].capacity * attempts + places - 1) / places;
    order.insert(order.end(), std::size_t(std::max(share, quotas[k].capacity + 1)), k);
  }
  std::mt19937 random(20220620);
  std::shuffle(order.begin(), order.end(), random);
  return order;
}

int totalPlaces() {
  int places = 0;
  for (const quota::Entry &entry : quota::table())
    places += entry.capacity;
  return places;
}

Share::Share(const QStringList &args)
    : store(StoreLocation::parse(args.value(0))), index(args.value(1).toInt()), clients(args.value(2).toInt()),
      order(plan(args.value(3).toInt())), limit(args.value(4).toDouble()) {}

bool readyForGo() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  std::string line;
  return std::getline(std::cin, line) && line == "go";
}

QByteArray attemptLine(std::size_t k, const char *outcome, std::initializer_list<std::int64_t> figures) {
  QByteArray line = "A " + QByteArray::number(qulonglong(k)) + ' ' + outcome;
  for (std::int64_t figure : figures)
    line += ' ' + QByteArray::number(figure);
  return line + '\n';
}

void reportThenWait(const QByteArray &report) {
  std::fwrite(report.constData(), 1, std::size_t(report.size()), stdout);
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
}

int worker(const QStringList &args) {
  const Share share(args);
  const auto &[store, index, clients, order, limit] = share;
  const auto quotas = quota::table();

  Client client(store);
  qint64 backends[2] = {0, 0};
  try {
    backends[0] = backendOf(client.ADOTab);
    backends[1] = backendOf(client.BDOTab);
    const int first = index < int(order.size()) ? order[std::size_t(index)] : 0;
    const QVariantMap form =
        bench::application(bench::identity(1), QString::fromUtf8(quotas[std::size_t(first)].kindergarten));
    client.start(form.value(QStringLiteral("村或社区")).toString());
    // The guardian has filled the form: its edits checked every entry as
    // GBK text while it was typed.
    for (const QVariant &entry : form)
      gbk::encodable(entry.toString());
  } catch (const std::exception &error) {
    std::fprintf(stderr, "worker %d: cannot start: %s\n", index, error.what());
    return 1;
  }
  if (!readyForGo())
    return 1;
  auto serverNs = [&] {
    std::int64_t sum = 0;
    for (qint64 pid : backends)
      sum += pid > 0 ? std::max<std::int64_t>(0, cpuNs(pid)) : 0;
    return sum;
  };
  const std::int64_t clientBefore = cpuNs(0);
  const std::int64_t serverBefore = serverNs();

  const std::int64_t deadline = bench::nowNs() + std::int64_t(limit * 1e9);
  QByteArray report;
  int errors = 0;
  for (std::size_t k = std::size_t(index); k < order.size(); k += std::size_t(clients)) {
    if (bench::nowNs() > deadline)
      break;
    const QString kindergarten = QString::fromUtf8(quotas[std::size_t(order[k])].kindergarten);
    QString error;
    const std::int64_t begin = bench::nowNs();
    const Client::Outcome outcome = client.file(bench::identity(qint64(k) + 1), kindergarten, &error);
    const std::int64_t end = bench::nowNs();
    report += attemptLine(k, Client::name(outcome),
                          {begin, end, client.thirdYes, client.appendSent, client.appendAnswered, order[k]});
    if (outcome == Client::Outcome::Failed && ++errors <= 3)
      std::fprintf(stderr, "worker %d, attempt %zu: %s\n", index, k, qPrintable(error));
  }
  report += QByteArray("C ") + QByteArray::number(cpuNs(0) - clientBefore) + ' ' +
            QByteArray::number(serverNs() - serverBefore) + '\n';
  reportThenWait(report);
  return 0;
}

} // namespace rush
