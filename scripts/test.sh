#!/usr/bin/env bash
# Installs what is missing, builds, starts a private PostgreSQL on loopback for
# the server-backed tests and a virtual desktop (Xvfb with openbox) for the
# desktop suites, runs every test suite, and stops both.
#
# KG_BUILD (the build folder, default build/), KG_SANITIZE (see build.sh),
# KG_BUILD_TARGETS (only these targets) and KG_CTEST_ARGS (more arguments of
# ctest, such as -R) serve scripts/proof.sh.
#
# A run needs both: when either cannot be started, the script stops here with
# the reason instead of running suites that would skip. Under CI=true a
# server-backed or desktop test that finds no server fails rather than skips.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/format-check.sh"
# shellcheck disable=SC2086 # the target names, split
"$root/scripts/build.sh" ${KG_BUILD_TARGETS:-}
# `eval "$(cmd)"` goes on when cmd fails: capture the export lines first.
if ! server=$("$root/scripts/pg.sh" start); then
  echo "test.sh: the loopback PostgreSQL did not start (see the pg.sh messages above); no tests were run." >&2
  exit 1
fi
eval "$server"
trap '"$root/scripts/pg.sh" stop >/dev/null 2>&1 || true' EXIT
if [ -z "${KG_TEST_PG:-}" ]; then
  echo "test.sh: pg.sh started no server it could name (no KG_TEST_PG); no tests were run." >&2
  exit 1
fi
# KG_XDESKTOP_FIRST: the first display number to try (default 90).
if ! desktop=$("$root/scripts/xdesktop.sh" start "${KG_XDESKTOP_FIRST:-90}"); then
  echo "test.sh: the virtual desktop (Xvfb with openbox) did not start (see the xdesktop.sh messages above); no tests were run." >&2
  exit 1
fi
eval "$desktop"
trap '"$root/scripts/pg.sh" stop >/dev/null 2>&1 || true; "$root/scripts/xdesktop.sh" stop || true' EXIT
# The desktop suites (tst_x_*) run on this display; every other suite runs
# offscreen whatever display the caller has.
export KG_TEST_DISPLAY=$DISPLAY
unset DISPLAY
export KG_TEST_PG
cd "${KG_BUILD:-$root/build}"
# shellcheck disable=SC2086 # the arguments, split
status=0
ctest --output-on-failure -j2 --timeout 900 ${KG_CTEST_ARGS:-} || status=$?

# The Windows client (plain runs only, not the sanitizer runs of proof.sh):
# the package and the suites built for Windows (scripts/windows.sh tests),
# the suites under Wine against the same loopback PostgreSQL
# (scripts/windows-tests.sh), and the installed client on a desktop of its
# own (tests/sh/windows_desktop.sh). KG_SKIP_WINDOWS=1 leaves them out, which
# CI=true refuses.
if [ -z "${KG_SANITIZE:-}" ] && [ -z "${KG_BUILD_TARGETS:-}" ]; then
  if [ "${KG_SKIP_WINDOWS:-}" = 1 ] && [ "${CI:-}" != true ]; then
    echo "test.sh: KG_SKIP_WINDOWS=1: the Windows build and its suites were skipped." >&2
  else
    windows=0
    "$root/scripts/windows.sh" tests || windows=$?
    if [ "$windows" -eq 0 ]; then
      KG_BUILD=${KG_BUILD:-$root/build} "$root/scripts/windows-tests.sh" || windows=$?
      desktop=0
      DISPLAY= bash "$root/tests/sh/windows_desktop.sh" || desktop=$?
      # 77: skipped (the suite fails itself instead under CI=true).
      [ "$desktop" -eq 0 ] || [ "$desktop" -eq 77 ] || windows=$desktop
    fi
    if [ "$windows" -ne 0 ]; then
      echo "test.sh: the Windows build or its suites failed (see the messages above)." >&2
      status=1
    fi
  fi
fi
exit $status
