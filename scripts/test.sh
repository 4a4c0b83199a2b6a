#!/usr/bin/env bash
# Installs what is missing, builds, starts a private PostgreSQL on loopback for
# the server-backed tests and a virtual desktop (Xvfb with openbox) for the
# desktop suites, runs every test suite, and stops both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/format-check.sh"
"$root/scripts/build.sh"
eval "$("$root/scripts/pg.sh" start)"
trap '"$root/scripts/pg.sh" stop >/dev/null 2>&1 || true' EXIT
desktop=$("$root/scripts/xdesktop.sh" start)
eval "$desktop"
trap '"$root/scripts/pg.sh" stop >/dev/null 2>&1 || true; "$root/scripts/xdesktop.sh" stop || true' EXIT
# The desktop suites (tst_x_*) run on this display; every other suite runs
# offscreen whatever display the caller has.
export KG_TEST_DISPLAY=$DISPLAY
unset DISPLAY
export KG_TEST_PG
cd "$root/build"
ctest --output-on-failure -j2 --timeout 900
