#!/usr/bin/env bash
# A virtual desktop: Xvfb on a free display number with the openbox window
# manager on it.
#
#   scripts/xdesktop.sh start [FIRST]   start Xvfb and openbox on the first free
#                                       display from FIRST (default 90); prints
#                                       export DISPLAY=:N
#                                       export KG_XDESKTOP=<folder of this desktop>
#   scripts/xdesktop.sh stop            stop what start started ($KG_XDESKTOP)
#                                       and wait until it has ended
#
# Only stdout carries the export lines, so `eval "$(scripts/xdesktop.sh start)"`
# works; messages go to stderr (KG_XDESKTOP_QUIET=1 leaves out the one that
# names the display, for a caller that says it itself). The screen is 1920 x 1080 at 24 bits, like a
# guardian's screen.
set -euo pipefail

say() { echo "xdesktop.sh: $*" >&2; }
die() {
  say "$*"
  exit 1
}

display_free() { [ ! -e "/tmp/.X$1-lock" ] && [ ! -e "/tmp/.X11-unix/X$1" ]; }

# One try on display N: 0 started, 2 the number turned out to be taken (by a
# desktop started at the same moment, or a server still ending), 1 any other
# failure.
try_display() {
  local n=$1 dir=$2
  # -noreset: the server would otherwise reset when the probe below, its only
  # client, disconnects, and a client connecting during the reset is refused.
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -noreset >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  # The server is up once it answers a request (its socket appears before it
  # accepts connections) and the display's lock file names it: another
  # desktop started at the same moment may have taken the number and be the
  # one that answers.
  local i pid
  pid=$(cat "$dir/xvfb.pid")
  for i in $(seq 1 400); do
    if DISPLAY=":$n" xprop -root -len 0 _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1; then
      [ "$(tr -d ' \n' <"/tmp/.X$n-lock" 2>/dev/null)" = "$pid" ] && kill -0 "$pid" 2>/dev/null && return 0
      kill "$pid" 2>/dev/null || true
      return 2
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      grep -q 'already active\|Cannot establish any listening sockets' "$dir/xvfb.log" && return 2
      cat "$dir/xvfb.log" >&2
      say "Xvfb did not start on :$n"
      return 1
    fi
    sleep 0.05
  done
  say "Xvfb did not answer on :$n in 20 s"
  return 1
}

start() {
  command -v Xvfb >/dev/null || die "Xvfb is not installed (package xvfb)"
  command -v openbox >/dev/null || die "openbox is not installed (package openbox)"
  local n=${1:-90}
  local dir
  dir=$(mktemp -d /tmp/kg-xdesktop.XXXXXX)
  # Interrupted while starting: stop what has been started.
  trap 'KG_XDESKTOP=$dir stop; exit 130' INT
  trap 'KG_XDESKTOP=$dir stop; exit 143' TERM
  local tried=0 status
  while :; do
    while ! display_free "$n"; do
      n=$((n + 1))
      [ "$n" -lt 400 ] || die "no free display number"
    done
    status=0
    try_display "$n" "$dir" || status=$?
    [ "$status" -eq 0 ] && break
    # Whatever fails from here stops what was started.
    KG_XDESKTOP=$dir stop
    [ "$status" -eq 2 ] && [ "$tried" -lt 20 ] || die "no virtual desktop started"
    mkdir -p "$dir"
    tried=$((tried + 1))
    n=$((n + 1))
  done
  DISPLAY=":$n" openbox >"$dir/openbox.log" 2>&1 &
  echo $! >"$dir/openbox.pid"
  # openbox is up once it owns the window-manager selection of screen 0.
  local i
  for i in $(seq 1 400); do
    DISPLAY=":$n" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.05
  done
  DISPLAY=":$n" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' || {
    cat "$dir/openbox.log" >&2
    KG_XDESKTOP=$dir stop
    die "openbox did not take :$n in 20 s"
  }
  echo ":$n" >"$dir/display"
  [ "${KG_XDESKTOP_QUIET:-}" = 1 ] || say "virtual desktop on :$n"
  echo "export DISPLAY=:$n"
  echo "export KG_XDESKTOP=$dir"
}

stop() {
  local dir=${KG_XDESKTOP:-}
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  local p pids=""
  for p in openbox xvfb; do
    [ -f "$dir/$p.pid" ] || continue
    pids="$pids $(cat "$dir/$p.pid")"
  done
  for p in $pids; do
    kill "$p" 2>/dev/null || true
  done
  # Ended, not only told to end: the display number is free once this returns.
  local i
  for i in $(seq 1 100); do
    local alive=""
    for p in $pids; do
      kill -0 "$p" 2>/dev/null && alive=yes
    done
    [ -z "$alive" ] && break
    sleep 0.05
  done
  rm -rf "$dir"
}

case "${1:-}" in
start) start "${2:-}" ;;
stop) stop ;;
*) die "usage: $0 start [FIRST] | stop" ;;
esac
