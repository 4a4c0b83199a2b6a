#!/usr/bin/env bash
# Installs what is missing, builds, prepares the embedded store when it does
# not exist yet, and starts the client.
#
# A first start on a machine whose regional date and time formats are not the
# client's rewrites them and ends without a message (that is how the client
# behaves on every guardian's computer). The new formats apply from the next
# start, so this script starts the client once more in that case: a newcomer
# arrives at the filing notice either way.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
store="$root/build/store.db"
if [ ! -f "$store" ]; then
  "$root/build/tools/kgadmin" init "sqlite:$store"
  # The embedded server's clock stands on the first filing day, so the whole
  # road can be walked on any date.
  "$root/build/tools/kgadmin" set-clock "sqlite:$store" "2022-06-20 10:15:30"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: starting Xvfb on :99 (connect a VNC viewer or take screenshots with import -display :99)."
  Xvfb :99 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  export DISPLAY=:99
  sleep 1
fi
regional="${KG_REGIONAL_FILE:-${XDG_CONFIG_HOME:-$HOME/.config}/kgfiling/International.ini}"
formats_ok() {
  [ -f "$regional" ] && grep -qx 'sDate=-' "$regional" && grep -qx 'sShortDate=yyyy-MM-dd' "$regional" &&
    grep -qx 'sTimeFormat=HH:mm:ss' "$regional"
}
before=no
formats_ok && before=yes
"$root/build/kgfiling" "$@"
if [ "$before" = no ] && formats_ok; then
  echo "The regional formats were set to the client's on this first start; starting it again."
  exec "$root/build/kgfiling" "$@"
fi
