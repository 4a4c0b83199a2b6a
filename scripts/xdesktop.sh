#!/usr/bin/env bash
# A virtual desktop: Xvfb on a free display number with the openbox window
# manager on it.
#
#   scripts/xdesktop.sh start [FIRST]   start Xvfb and openbox on the first free
#                                       display from FIRST (default 90); prints
#                                       export DISPLAY=:N
#                                       export KG_XDESKTOP=<folder of this desktop>
#   scripts/xdesktop.sh stop            stop what start started ($KG_XDESKTOP)
#
# Only stdout carries the export lines, so `eval "$(scripts/xdesktop.sh start)"`
# works; messages go to stderr. The screen is 1920 x 1080 at 24 bits, like a
# guardian's screen.
set -euo pipefail

say() { echo "xdesktop.sh: $*" >&2; }
die() {
  say "$*"
  exit 1
}

display_free() { [ ! -e "/tmp/.X$1-lock" ] && [ ! -e "/tmp/.X11-unix/X$1" ]; }

start() {
  command -v Xvfb >/dev/null || die "Xvfb is not installed (package xvfb)"
  command -v openbox >/dev/null || die "openbox is not installed (package openbox)"
  local n=${1:-90}
  while ! display_free "$n"; do
    n=$((n + 1))
    [ "$n" -lt 400 ] || die "no free display number"
  done
  local dir
  dir=$(mktemp -d /tmp/kg-xdesktop.XXXXXX)
  # Interrupted while starting: stop what has been started.
  trap 'KG_XDESKTOP=$dir stop; exit 130' INT
  trap 'KG_XDESKTOP=$dir stop; exit 143' TERM
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  # Whatever fails from here stops what was started. The server is up once it
  # answers a request (its socket appears before it accepts connections).
  local i
  for i in $(seq 1 400); do
    DISPLAY=":$n" xprop -root -len 0 _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 && break
    kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null || {
      cat "$dir/xvfb.log" >&2
      KG_XDESKTOP=$dir stop
      die "Xvfb did not start on :$n"
    }
    sleep 0.05
  done
  DISPLAY=":$n" xprop -root -len 0 _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 || {
    KG_XDESKTOP=$dir stop
    die "Xvfb did not answer on :$n in 20 s"
  }
  DISPLAY=":$n" openbox >"$dir/openbox.log" 2>&1 &
  echo $! >"$dir/openbox.pid"
  # openbox is up once it owns the window-manager selection of screen 0.
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
  say "virtual desktop on :$n"
  echo "export DISPLAY=:$n"
  echo "export KG_XDESKTOP=$dir"
}

stop() {
  local dir=${KG_XDESKTOP:-}
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  local p
  for p in openbox xvfb; do
    [ -f "$dir/$p.pid" ] && kill "$(cat "$dir/$p.pid")" 2>/dev/null || true
  done
  rm -rf "$dir"
}

case "${1:-}" in
start) start "${2:-}" ;;
stop) stop ;;
*) die "usage: $0 start [FIRST] | stop" ;;
esac
