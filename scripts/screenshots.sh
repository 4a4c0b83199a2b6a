#!/usr/bin/env bash
# Screenshots of one complete filing on a virtual desktop (Xvfb with the
# openbox window manager), into docs/screenshots/ (or the folder given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshots}
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
eval "$("$root/scripts/xdesktop.sh" start)"
trap '"$root/scripts/xdesktop.sh" stop' EXIT
mkdir -p "$out"
rm -f "$out"/[0-9]-*.png "$out"/[0-9][0-9]-*.png
QT_QPA_PLATFORM=xcb "$root/build/tests/kgwalkthrough" "$out"
