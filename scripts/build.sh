#!/usr/bin/env bash
# Configures and builds into build/ (or $KG_BUILD).
#
#   scripts/build.sh                  everything: client, admin tool, tests, benchmarks
#   scripts/build.sh TARGET...        only these targets (run.sh: kgfiling kgadmin)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KG_BUILD:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
