#!/usr/bin/env bash
# Configures and builds into build/ (or $KG_BUILD).
#
#   scripts/build.sh                  everything: client, admin tool, tests, benchmarks
#   scripts/build.sh TARGET...        only these targets (run.sh: kgfiling kgadmin)
#
# KG_SANITIZE=address,undefined or KG_SANITIZE=thread builds with clang under
# those sanitizers (scripts/proof.sh), optimised lightly and with line tables
# only, so that a report names the lines and the build stays quick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KG_BUILD:-$root/build}
settings=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ -n "${KG_SANITIZE:-}" ]; then
  settings+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "-DKG_SANITIZE=$KG_SANITIZE"
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG"
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG")
fi
cmake -S "$root" -B "$build" "${settings[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
