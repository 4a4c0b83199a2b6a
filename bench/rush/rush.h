#pragma once
// The opening rush: many clients start filing at the same moment, each a
// process of its own with the main window's two query objects, each filing
// distinct children into the kindergartens of the catchment until all twelve
// are full and beyond. Then the store is checked (every kindergarten holds
// exactly its capacity, no identity number twice). On PostgreSQL, with
// --pgbench-seconds, the lean client (libpq alone, --lean-worker) files the
// same rush before and after, into an empty table, as the measure of the
// client; pgbench runs a single-row insert and the filing's statements with
// as many clients against the same server, for context.
//
//   kgbench_rush --backend sqlite --dir DIR [--clients 8] [--attempts 3000]
//   kgbench_rush --backend pg --server postgres://... [--clients 64] [--pgbench-seconds 8]
//                [--delay-ms 10] [--fsync]
//
// --delay-ms puts a relay (bench/relay.h) between every client, and pgbench,
// and the server, holding each byte that long in each direction; --fsync
// turns fsync and synchronous_commit on for the run (ALTER SYSTEM, reset at
// the end).
//
// The driver starts itself again as each worker (--worker ...).
//
// The rush's files, by job: driver.cpp (the driver: the store, the launch of
// the workers, the figures), worker.cpp (a client worker filing through the
// windows' steps, and what every worker shares: its share of the plan, the
// start signal, its report), lean.cpp (the lean libpq client), pgbench.h
// (the pgbench harness) and cpu.cpp (CPU accounting).

#include "benchlib.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace rush {

// --- the plan and the workers (worker.cpp)

std::vector<int> plan(int attempts);
int totalPlaces();

// What a worker is given: the store, its index, the number of clients, the
// attempts in all and the seconds it files at most. Its share of the plan is
// every clients-th attempt from its index on.
struct Share {
  explicit Share(const QStringList &args);
  StoreLocation store;
  int index;
  int clients;
  std::vector<int> order;
  double limit;
};
// Tells the driver the worker is connected, and waits for the start signal.
bool readyForGo();
// One attempt's report: its number, outcome, begin, end, third Yes, append
// sent and answered (ns, 0 where none) and its kindergarten.
QByteArray attemptLine(std::size_t k, const char *outcome, std::initializer_list<std::int64_t> figures);
// Hands the report over, and stays open (like a guardian's client after its
// answer, its sessions kept) until the driver has every report.
void reportThenWait(const QByteArray &report);

// A client worker (--worker): the main window's two query objects filing
// through the windows' own steps.
int worker(const QStringList &args);
// The lean client's worker (--lean-worker, lean.cpp).
int leanWorker(const QStringList &args);

// One attempt as the driver reads it from a report.
struct Attempt {
  QString outcome;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  std::int64_t thirdYes = 0;
  std::int64_t appendSent = 0;
  std::int64_t appendAnswered = 0;
  int kindergarten = 0;
};

// --- CPU accounting (cpu.cpp)

// CPU time a process has run, in ns (the first field of its schedstat), or
// -1; 0 is this process, a negative pid a thread of it.
std::int64_t cpuNs(qint64 pid);
// CPU time of all threads of this process, in ns.
std::int64_t ownCpuNs();
// The server process behind a query object's connection (PostgreSQL on this
// machine), or 0. The connection is kept, so it stays the same while the
// server answers; the query is left closed.
qint64 backendOf(QueryObject &query);

} // namespace rush
