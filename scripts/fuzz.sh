#!/usr/bin/env bash
# Runs the fuzz targets (fuzz/fuzz_*.cpp), each for a bounded time, from its
# seed corpus in fuzz/corpus/<target>; builds them first (build-asan/, clang
# with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer).
#
#   scripts/fuzz.sh                    every target for 30 s (what CI runs)
#   scripts/fuzz.sh 3600               every target for an hour
#   scripts/fuzz.sh 600 fuzz_gbk ...   these targets only
#
# What a run finds beyond the seeds stays in build-asan/fuzz-corpus/<target>
# for the next run. An input that breaks a target is kept as
# build-asan/fuzz-findings/<target>/crash-* (replay: build-asan/fuzz/<target>
# FILE); the script then fails. The last line per target gives its executions.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-asan
seconds=${1:-30}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi
"$root/scripts/deps.sh"
KG_SANITIZE=address,undefined KG_BUILD=$build "$root/scripts/build.sh" "${targets[@]}"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The windows' targets keep Qt's caches between inputs, which a per-input leak
# check would take for leaks; leaks are the suites' to find (scripts/proof.sh asan).
export ASAN_OPTIONS="detect_leaks=0"
failed=()
summary=()
for target in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$target
  findings=$build/fuzz-findings/$target
  mkdir -p "$corpus" "$findings"
  log=$build/fuzz-findings/$target.log
  status=0
  (cd "$findings" && "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 "$corpus" "$root/fuzz/corpus/$target") >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("$(printf '%-22s %10s executions in %s s' "$target" "${runs:-?}" "$seconds")")
  if [ $status -ne 0 ]; then
    failed+=("$target")
    echo "fuzz.sh: $target broke (status $status); its log:" >&2
    tail -n 60 "$log" >&2
  fi
done
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: ${#failed[@]} target(s) broke: ${failed[*]} (inputs in $build/fuzz-findings/)" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} target(s), no fault"
