#!/usr/bin/env bash
# Installs what is missing, builds, starts a private PostgreSQL on loopback for
# the server-backed tests, runs every test suite, and stops the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
eval "$("$root/scripts/pg.sh" start)"
trap '"$root/scripts/pg.sh" stop >/dev/null 2>&1 || true' EXIT
export KG_TEST_PG
cd "$root/build"
ctest --output-on-failure -j2 --timeout 900
