#!/usr/bin/env bash
# The suites under hostile conditions, after scripts/test.sh (CI runs both):
#
#   scripts/proof.sh            all three parts below
#   scripts/proof.sh asan       everything built with AddressSanitizer and
#                               UndefinedBehaviorSanitizer (build-asan/), every suite
#   scripts/proof.sh tsan       the store built with ThreadSanitizer (build-tsan/),
#                               the store's suites: time limit, silent server,
#                               lost link, restarts, outages, races
#   scripts/proof.sh fuzz       every fuzz target for a bounded time (scripts/fuzz.sh)
#
# Every sanitizer report fails the part: the suite whose program made it
# fails, and a report of any other program it started (the client, kgadmin,
# a worker) is found in the part's report folder afterwards and fails the
# part too. The suppressions that stay are in tests/sanitizers.supp, each
# with its reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(asan tsan fuzz)

# tests/sanitizers.supp holds every kind; each sanitizer reads its own.
supp=$(mktemp -d /tmp/kg-supp.XXXXXX)
trap 'rm -rf "$supp"' EXIT
grep -E '^leak:' "$root/tests/sanitizers.supp" >"$supp/lsan" || true
grep -E '^(race|thread|mutex|signal|deadlock|called_from_lib):' "$root/tests/sanitizers.supp" >"$supp/tsan" || true
grep -E '^(undefined|vptr|function|alignment|null|pointer-overflow|shift|signed-integer-overflow):' \
  "$root/tests/sanitizers.supp" >"$supp/ubsan" || true
export LSAN_OPTIONS="suppressions=$supp/lsan:print_suppressions=0"
export UBSAN_OPTIONS="suppressions=$supp/ubsan:print_stacktrace=1:halt_on_error=1"

# Runs the suites of one build with the reports going to files; fails when a
# suite failed or any program reported.
suites() {
  local name=$1 reports
  reports="$root/build-$name/sanitizer-reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  local status=0
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan:log_path=$reports/tsan" \
    KG_BUILD="$root/build-$name" bash "$root/scripts/test.sh" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "proof.sh: sanitizer reports of the $name build:" >&2
    for report in "$reports"/*; do
      echo "== $report" >&2
      cat "$report" >&2
    done
    status=1
  fi
  return $status
}

for part in "${parts[@]}"; do
  started=$(date +%s)
  case $part in
  asan)
    KG_SANITIZE=address,undefined suites asan
    ;;
  tsan)
    KG_SANITIZE=thread KG_BUILD_TARGETS="tst_store tst_pg_silent tst_pg_lost_link tst_pg_store_restart tst_outage tst_store_race" \
      KG_CTEST_ARGS="-R ^(store|pg_silent|pg_lost_link|pg_store_restart|outage|store_race)$" suites tsan
    ;;
  fuzz)
    bash "$root/scripts/fuzz.sh"
    ;;
  *)
    echo "usage: $0 [asan] [tsan] [fuzz]" >&2
    exit 2
    ;;
  esac
  echo "proof.sh: $part passed in $(($(date +%s) - started)) s"
done
