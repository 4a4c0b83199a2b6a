#!/usr/bin/env bash
# The benchmarks in one command: builds them into build-bench/, starts a
# private PostgreSQL on loopback (scripts/pg.sh, its own data directory and
# port so that test runs on the same machine do not share it), runs the
# opening rush, the lookup at scale, the start-up and the memory benchmark on
# the SQLite file and on PostgreSQL, prints one table and stops the server.
#
#   scripts/bench.sh            everything (about five minutes on two cores)
#   scripts/bench.sh rush       only some: rush lookup start memory district
#
# district is the rush as a district meets it: the server restarted with
# fsync on and room for 256 clients, a relay adding 10 ms each way between
# every client and the server, 64 and then 256 client processes.
#
# Settings (environment): KG_BENCH_BUILD (build directory, default
# build-bench), KG_BENCH_ROWS (rows of the large lookup table, default
# 1000000), KG_BENCH_CLIENTS_PG / KG_BENCH_CLIENTS_SQLITE (rush clients,
# default 64 / 8), KG_BENCH_ATTEMPTS (default 3000), KG_BENCH_PGBENCH_SECONDS
# (each pgbench run, default 5). Details of every run go to
# <build>/bench.log; the table goes to stdout and <build>/bench-table.txt.
# The exit status is 0 when every benchmark ran (targets met or not), 1 when
# one could not run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KG_BENCH_BUILD:-$root/build-bench}
rows=${KG_BENCH_ROWS:-1000000}
clients_pg=${KG_BENCH_CLIENTS_PG:-64}
clients_sqlite=${KG_BENCH_CLIENTS_SQLITE:-8}
attempts=${KG_BENCH_ATTEMPTS:-3000}
pgbench_seconds=${KG_BENCH_PGBENCH_SECONDS:-5}
wanted=${*:-rush lookup start memory district}

for name in $wanted; do
  case $name in
  rush | lookup | start | memory | district) ;;
  *)
    echo "bench.sh: unknown benchmark '$name' (rush, lookup, start, memory, district)" >&2
    exit 2
    ;;
  esac
done
command -v pgbench >/dev/null || {
  echo "bench.sh: pgbench is missing (package postgresql-client)" >&2
  exit 1
}

# The machine's load before anything of the benchmarks runs: each benchmark
# reports it and judges no time target when other work was running.
KG_BENCH_LOAD=$(cut -d' ' -f1 /proc/loadavg)
export KG_BENCH_LOAD
start_load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "bench.sh: building into $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target kgbench_rush kgbench_lookup kgbench_start kgbench_client_start \
  kgbench_minimal kgbench_memory >/dev/null

export KG_PG_DIR=${KG_PG_DIR:-/tmp/kg-pg-bench}
export KG_PG_PORT=${KG_PG_PORT:-54400}
eval "$("$root/scripts/pg.sh" start)"
hugepages_before=
trap '"$root/scripts/pg.sh" stop >/dev/null 2>&1 || true
[ -z "$hugepages_before" ] || echo "$hugepages_before" >/proc/sys/vm/nr_hugepages' EXIT
export KG_TEST_PG KG_PG_LEASE

bin=$build/bench
log=$build/bench.log
table=$build/bench-table.txt
results=$(mktemp)
: >"$log"
failed=0
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}

# Runs one benchmark with a time limit; its ROW lines are collected, all the
# rest goes to the log.
run() {
  local title=$1
  shift
  echo "bench.sh: $title" >&2
  echo "=== $title: $*" >>"$log"
  local out
  out=$(mktemp)
  if timeout 900 "$@" >"$out" 2>>"$log"; then
    :
  else
    echo "bench.sh: $title did not finish (status $?), see $log" >&2
    echo "ROW|$title|run|did not finish||MISSED" >>"$out"
    failed=1
  fi
  grep '^ROW|' "$out" >>"$results" || true
  grep -v '^ROW|' "$out" >>"$log" || true
  rm -f "$out"
}

machine="$(nproc) cores, $(free -m | awk '/^Mem:/ {print $2}') MiB, load $start_load at the start"
for name in $wanted; do
  case $name in
  rush)
    run "rush SQLite" "$bin/kgbench_rush" --backend sqlite --clients "$clients_sqlite" --attempts "$attempts"
    run "rush PostgreSQL" "$bin/kgbench_rush" --backend pg --clients "$clients_pg" --attempts "$attempts" \
      --pgbench-seconds "$pgbench_seconds"
    ;;
  lookup)
    run "lookup SQLite" "$bin/kgbench_lookup" --backend sqlite --rows "$rows"
    run "lookup PostgreSQL" "$bin/kgbench_lookup" --backend pg --rows "$rows"
    ;;
  start)
    run "start-up" "$bin/kgbench_start"
    ;;
  memory)
    run "memory SQLite" "$bin/kgbench_memory"
    run "memory PostgreSQL" "$bin/kgbench_memory" --store "server:$KG_TEST_PG"
    # The same walk on a real X server with a window manager, as a guardian's
    # desktop holds the windows.
    if desktop=$("$root/scripts/xdesktop.sh" start 260); then
      eval "$desktop"
      run "memory SQLite, X server" bash -c 'set -o pipefail; QT_QPA_PLATFORM=xcb "$0" |
        sed "s/^ROW|memory SQLite|/ROW|memory SQLite, X server|/"' "$bin/kgbench_memory"
      "$root/scripts/xdesktop.sh" stop
      unset DISPLAY KG_XDESKTOP
    else
      echo "ROW|memory SQLite, X server|run|no virtual desktop||MISSED" >>"$results"
      failed=1
    fi
    ;;
  district)
    eval "$(KG_PG_FSYNC=on KG_PG_MAX_CONNECTIONS=800 "$root/scripts/pg.sh" restart)"
    # The server's shared memory in huge pages, as docs/store.md asks of the
    # district's server host: reserved here when this user may (root), and
    # given back at the end.
    huge="no: reserving them needs root"
    if [ -w /proc/sys/vm/nr_hugepages ]; then
      pages=$(psql "$KG_TEST_PG" -XAtc "show shared_memory_size_in_huge_pages")
      hugepages_before=$(cat /proc/sys/vm/nr_hugepages)
      [ "$hugepages_before" -ge "$pages" ] || echo "$pages" >/proc/sys/vm/nr_hugepages
      eval "$(KG_PG_FSYNC=on KG_PG_MAX_CONNECTIONS=800 "$root/scripts/pg.sh" restart)"
      huge="$(awk '/^HugePages_Total/ {print $2}' /proc/meminfo) of the $pages pages the server needs reserved"
    fi
    echo "ROW|rush PostgreSQL, district|server's shared memory in huge pages|$huge||" >>"$results"
    for clients in 64 256; do
      run "rush PostgreSQL, $clients clients, 10 ms relay, fsync on" "$bin/kgbench_rush" --backend pg \
        --clients "$clients" --attempts "$attempts" --delay-ms 10 --fsync --pgbench-seconds 15
    done
    eval "$("$root/scripts/pg.sh" restart)"
    ;;
  esac
done

{
  echo "Benchmarks of $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?'), $(date '+%Y-%m-%d %H:%M'), $machine"
  awk -F'|' '
    { bench[NR] = $2; figure[NR] = $3; value[NR] = $4; target[NR] = $5; verdict[NR] = $6
      if (length($2) > wb) wb = length($2); if (length($3) > wf) wf = length($3)
      if (length($4) > wv) wv = length($4); if (length($5) > wt) wt = length($5) }
    END {
      if (wb < 9) wb = 9; if (wf < 6) wf = 6; if (wv < 5) wv = 5; if (wt < 6) wt = 6
      line = sprintf("%-*s  %-*s  %-*s  %-*s  %s", wb, "benchmark", wf, "figure", wv, "value", wt, "target", "verdict")
      print line; gsub(/./, "-", line); print line
      for (i = 1; i <= NR; i++) {
        shown = (i > 1 && bench[i] == bench[i - 1]) ? "" : bench[i]
        printf "%-*s  %-*s  %-*s  %-*s  %s\n", wb, shown, wf, figure[i], wv, value[i], wt, target[i], verdict[i]
      }
      for (i = 1; i <= NR; i++) if (verdict[i] == "MISSED") missed++
      printf "\n%d figures with a target missed; details in the log\n", missed
    }' "$results"
} | tee "$table"
rm -f "$results"
exit "$failed"
