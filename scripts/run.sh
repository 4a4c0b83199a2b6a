#!/usr/bin/env bash
# Installs what is missing, builds the client and kgadmin, prepares the
# embedded store when it does not exist yet, and starts the client.
#
# Without a display (no $DISPLAY, $WAYLAND_DISPLAY or $QT_QPA_PLATFORM) the
# client runs on a virtual desktop: Xvfb with the openbox window manager on
# the first free display from :99, and a VNC server (x11vnc) that listens on
# 127.0.0.1 only. The script prints the line to look at it, and stops all of
# that when the client ends or the script is interrupted.
#
# A first start on a machine whose regional date and time formats are not the
# client's rewrites them and ends without a message (that is how the client
# behaves on every guardian's computer). The new formats apply from the next
# start, so this script starts the client once more in that case: a newcomer
# arrives at the filing notice either way.
#
# Settings (environment):
#   KG_STORE          the store (default: the embedded store build/store.db,
#                     created with its clock on the first filing day)
#   KG_BUILD          the build folder (default build/)
#   KG_RUN_NO_BUILD=1 start what is built, without installing or building
#   KG_RUN_DISPLAY    the first display number to try (default 99)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KG_BUILD:-$root/build}
if [ "${KG_RUN_NO_BUILD:-}" != 1 ]; then
  "$root/scripts/deps.sh"
  KG_BUILD=$build "$root/scripts/build.sh" kgfiling kgadmin
fi

export KG_STORE=${KG_STORE:-sqlite:$build/store.db}
if [[ $KG_STORE == sqlite:* ]] && [ ! -f "${KG_STORE#sqlite:}" ]; then
  "$build/tools/kgadmin" init "$KG_STORE"
  # The embedded server's clock stands on the first filing day, so the whole
  # road can be walked on any date.
  "$build/tools/kgadmin" set-clock "$KG_STORE" "2022-06-20 10:15:30"
fi

client=""
vnc=""
desktop=""
lines=""
stop_all() {
  if [ -n "$client" ]; then
    kill "$client" 2>/dev/null || true
    wait "$client" 2>/dev/null || true
  fi
  if [ -n "$vnc" ]; then
    kill "$vnc" 2>/dev/null || true
    wait "$vnc" 2>/dev/null || true
  fi
  # Stopped right after the desktop started: its folder is in the lines read.
  [ -n "$desktop" ] || desktop=$(sed -n 's/^export KG_XDESKTOP=//p' <<<"$lines")
  if [ -n "$desktop" ]; then
    KG_XDESKTOP=$desktop "$root/scripts/xdesktop.sh" stop || true
  fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  lines=$(KG_XDESKTOP_QUIET=1 "$root/scripts/xdesktop.sh" start "${KG_RUN_DISPLAY:-99}")
  eval "$lines"
  desktop=$KG_XDESKTOP
  # Qt wants a private runtime folder; a login session has one, a bare shell not.
  [ -n "${XDG_RUNTIME_DIR:-}" ] || export XDG_RUNTIME_DIR=$desktop
  # The log exists before the loop below reads it (the server's shell opens
  # it only once it runs).
  : >"$desktop/x11vnc.log"
  x11vnc -display "$DISPLAY" -localhost -nopw -forever -shared -norc -autoport 5900 >"$desktop/x11vnc.log" 2>&1 &
  vnc=$!
  port=""
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^PORT=\([0-9][0-9]*\)$/\1/p' "$desktop/x11vnc.log")
    [ -n "$port" ] && break
    kill -0 "$vnc" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    cat "$desktop/x11vnc.log" >&2
    echo "run.sh: the VNC server did not start on $DISPLAY" >&2
    exit 1
  fi
  echo "No display: the client runs on the virtual display $DISPLAY; look at it with a VNC viewer on this machine at 127.0.0.1::$port (from another computer: ssh -L $port:127.0.0.1:$port this-machine, then the viewer at localhost::$port)."
fi

regional="${KG_REGIONAL_FILE:-${XDG_CONFIG_HOME:-$HOME/.config}/kgfiling/International.ini}"
formats_ok() {
  [ -f "$regional" ] && grep -qx 'sDate=-' "$regional" && grep -qx 'sShortDate=yyyy-MM-dd' "$regional" &&
    grep -qx 'sTimeFormat=HH:mm:ss' "$regional"
}
# The client runs in the background so that an interruption reaches this
# script at once and stop_all can end it.
run_client() {
  "$build/kgfiling" "$@" &
  client=$!
  local status=0
  wait "$client" || status=$?
  client=""
  return "$status"
}
before=no
formats_ok && before=yes
status=0
run_client "$@" || status=$?
if [ "$status" -eq 0 ] && [ "$before" = no ] && formats_ok; then
  echo "The regional formats were set to the client's on this first start; starting it again."
  status=0
  run_client "$@" || status=$?
fi
exit "$status"
