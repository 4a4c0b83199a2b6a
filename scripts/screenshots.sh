#!/usr/bin/env bash
# Screenshots of one complete filing under Xvfb with a window manager, into
# docs/screenshots/ (or the folder given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshots}
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
display=:97
Xvfb $display -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $wm $xvfb 2>/dev/null || true' EXIT
sleep 1
DISPLAY=$display openbox >/dev/null 2>&1 &
wm=$!
sleep 1
rm -f "$out"/[0-9]-*.png "$out"/[0-9][0-9]-*.png
DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/build/tests/kgwalkthrough" "$out"
