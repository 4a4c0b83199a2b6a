#!/usr/bin/env bash
# The Windows client as a guardian meets it, under Wine on a virtual desktop
# (Xvfb with openbox), driven with real input (xdotool):
#  - the installer (build-win/kgfiling-<version>-setup.exe /S) installs into
#    Program Files with a Start-menu entry and an uninstaller, in a fresh
#    Wine prefix;
#  - the first start of the installed kgfiling.exe rewrites
#    HKCU\Control Panel\International (read back with `reg query`) and ends
#    without a message;
#  - the second start shows the notice; one application is filed on the
#    embedded store (%LOCALAPPDATA%\kgfiling\store.db) up to the success
#    message, and the installed kgadmin.exe fill counts it;
#  - the uninstaller removes the program folder and the entry.
# Screenshots of each step go to build-win/desktop-shots/ (KG_WIN_SHOTS).
#
# Exit 0: passed; 1: failed; 77: skipped (no installer, no Wine or no X
# tools; under CI=true these fail instead).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KG_WIN_BUILD:-$root/build-win}
shots=${KG_WIN_SHOTS:-$build/desktop-shots}
title="澄岭区2022年城区公办幼儿园小班招生网络填报系统"
say() { echo "windows_desktop.sh: $*" >&2; }
fail() {
  say "FAILED: $*"
  exit 1
}
skip() {
  if [ "${CI:-}" = true ]; then
    fail "CI=true: $*"
  fi
  say "skipped: $*"
  exit 77
}
setup=$(find "$build" -maxdepth 1 -name 'kgfiling-*-setup.exe' | sort | tail -n 1)
[ -n "$setup" ] || skip "no installer in $build (scripts/windows.sh makes it)"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || skip "wine64 is not installed"
wineserver=/usr/lib/wine/wineserver
for tool in xdotool import xmodmap Xvfb openbox pdftotext iconv; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# The desktop and a fresh Wine prefix of this run.
eval "$("$root/scripts/xdesktop.sh" start "${KG_WIN_DISPLAY_FIRST:-150}")"
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/kgwin-desktop-XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset KG_STORE KG_REGIONAL_FILE QT_QPA_PLATFORM
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$root/scripts/xdesktop.sh" stop || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1 || true
rm -rf "$shots"
mkdir -p "$shots"

shot() { import -window root "$shots/$1.png"; }
# Waits up to $2 seconds for a visible window whose name matches $1; prints
# its id (the newest one).
wait_window() {
  local id=""
  for _ in $(seq $((${2:-30} * 5))); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 || true)
    [ -n "$id" ] && break
    sleep 0.2
  done
  [ -n "$id" ] || return 1
  echo "$id"
}
# Clicks at an offset from a window's top-left corner (its client area).
click_in() {
  local x y
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove --sync $((X + $2)) $((Y + $3)) click 1
  x=$X y=$Y
  : "$x$y"
}
# Types text, Chinese included. Wine reads the keyboard map once, when a
# program starts: every Chinese character typed gets a spare keycode of its
# own before the client starts (map_chinese), and is typed by its keysym.
map_chinese() {
  local text=$1 i ch keysym codes
  read -r -a codes <<<"$(xmodmap -pke | awk '$4 == "" && $2 > 8 {print $2}' | tr '\n' ' ')"
  local n=0
  for ((i = 0; i < ${#text}; i++)); do
    ch=${text:i:1}
    keysym=$(printf 'U%04X' "'$ch")
    xmodmap -pke | grep -qw "$keysym" && continue
    [ "$n" -lt ${#codes[@]} ] || fail "no spare keycode left for $ch"
    xmodmap -e "keycode ${codes[n]} = $keysym $keysym"
    n=$((n + 1))
  done
}
type_text() {
  local text=$1 i ch
  for ((i = 0; i < ${#text}; i++)); do
    ch=${text:i:1}
    if [[ "$ch" =~ [0-9A-Za-z\ -] ]]; then
      xdotool type --delay 40 -- "$ch"
    else
      xdotool key --delay 40 "$(printf 'U%04X' "'$ch")"
    fi
    sleep 0.05
  done
}
press() {
  xdotool key --delay 80 "$@"
  sleep 0.3
}
program="$WINEPREFIX/drive_c/Program Files/kgfiling"
windows_program='C:\Program Files\kgfiling'

# --- The installer -------------------------------------------------------------
timeout 120 "$wine" "$setup" /S || fail "the installer did not finish"
for _ in $(seq 50); do [ -f "$program/uninstall.exe" ] && break; sleep 0.2; done
for f in kgfiling.exe kgadmin.exe uninstall.exe platforms/qwindows.dll Qt6Widgets.dll; do
  [ -f "$program/$f" ] || fail "the installer left no $f in Program Files\\kgfiling"
done
entry="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$title.lnk"
[ -f "$entry" ] || fail "no Start-menu entry ($entry)"
say "installed into Program Files\\kgfiling with a Start-menu entry and an uninstaller"

kgadmin() { timeout 120 "$wine" "$program/kgadmin.exe" "$@" | tr -d '\r'; }
# The embedded store of this user, its clock on the first filing day.
kgadmin init >/dev/null || fail "kgadmin.exe init failed"
kgadmin set-clock "2022-06-20 10:15:30" >/dev/null || fail "kgadmin.exe set-clock failed"
store=$(find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/kgfiling/store.db' -print -quit)
[ -n "$store" ] || fail "the store is not %LOCALAPPDATA%\\kgfiling\\store.db"
store="sqlite:C:${store#"$WINEPREFIX/drive_c"}"

# --- First start: the regional formats rewritten, the end, no message --------
key='HKCU\Control Panel\International'
"$wine" reg add "$key" /v sShortDate /d "M/d/yyyy" /f >/dev/null 2>&1 || fail "reg add failed"
windows() { { xdotool search --onlyvisible --name . 2>/dev/null || true; } | wc -l; }
before=$(windows)
timeout 60 "$wine" "$program/kgfiling.exe" || fail "the first start did not end by itself within 60 s"
values=$("$wine" reg query "$key" | tr -d '\r')
for expected in 'sDate REG_SZ -' 'sShortDate REG_SZ yyyy-MM-dd' 'sTime REG_SZ :' 'sShortTime REG_SZ HH:mm' \
  'sTimeFormat REG_SZ HH:mm:ss' 'iTime REG_SZ 1' 'iTimePrefix REG_SZ 0' 'iTLZero REG_SZ 0'; do
  echo "$values" | sed 's/^ *//; s/  */ /g' | grep -qxF "$expected" || fail "after the first start the key lacks '$expected'"
done
# reg query prints in the console's code page, which has no Chinese here:
# the long date format is read from the key's export (UTF-16).
"$wine" reg export "$key" "$(echo "Z:$WINEPREFIX/international.reg" | tr / '\\')" /y >/dev/null 2>&1 ||
  fail "reg export failed"
iconv -f UTF-16 -t UTF-8 "$WINEPREFIX/international.reg" | tr -d '\r' | grep -qxF "\"sLongDate\"=\"yyyy'年'M'月'd'日'\"" ||
  fail "after the first start the key lacks sLongDate yyyy'年'M'月'd'日'"
after=$(windows)
[ "$after" -le "$before" ] || fail "the first start left a window behind"
say "first start: nine regional values written (reg query), ended without a message"

# --- Second start: the notice ------------------------------------------------
map_chinese 王小红建国澄岭区石桥路号
"$wine" "$program/kgfiling.exe" &
client=$!
notice=$(wait_window '填报注意事项' 60) || fail "the second start showed no notice"
sleep 2
shot 1-notice
# 已阅读并接受: the client places the notice by the screen's size.
xdotool mousemove --sync 878 683 click 1
sleep 1
sleep 1
main=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
[ -n "$main" ] || fail "no main window after the notice"
say "second start: the notice, accepted"

# --- One filing --------------------------------------------------------------
xdotool windowactivate --sync "$main" 2>/dev/null || true
xdotool mousemove --sync 303 58 click 1 # the identity-number box of the maximised window
type_text 110101201903050021
press Return
form=$(wait_window '幼儿信息填报框' 30) || fail "申请填报 opened no form"
sleep 1
xdotool windowactivate --sync "$form" 2>/dev/null || true # 姓名 has the focus
type_text 王小红
press Tab Home Down Tab         # 性别 女 (the second); 出生日期
type_text 20190305
press Tab Home Tab              # 区县 澄岭区; 乡镇或街道
press Home Tab                  # 东澄街道 (the first); 村或社区
press Home Down Down Down Down Down Tab # 石桥社区 (the sixth); 组
press Home Down Tab             # 2组; 上户时间
type_text 20190601
press Tab                       # 户主姓名
type_text 王建国
press Tab Home Tab              # 父子; 户口簿详细地址
type_text 澄岭区石桥路18号
press Tab Home Tab              # 实验幼儿园万福园区 (the first); 年级
press Home Tab                  # 小班; 监护人一姓名
type_text 王建国
press Tab
type_text 13800000001
sleep 1
shot 2-form
press Tab Tab Tab space # 监护人二姓名, 监护人二电话, 提交申报表
for n in 1 2 3; do
  sleep 2
  shot "$((n + 2))-confirmation$n"
  press Return # Yes
done
sleep 2
shot 6-success
press Return
sleep 2
kill "$client" 2>/dev/null || true
"$wineserver" -k 2>/dev/null || true
"$wineserver" -p

fill=$(kgadmin fill "$store") || fail "kgadmin.exe fill failed"
echo "$fill" >"$shots/fill.txt"
echo "$fill" | awk '$1 == "实验幼儿园万福园区" && $3 == 1 { found = 1 } END { exit !found }' ||
  fail "kgadmin.exe fill does not count the application: $fill"
say "filed: kgadmin.exe fill counts one application for 实验幼儿园万福园区"

# --- The district's files from the same store ------------------------------------
# kgadmin.exe writes the export (XLSX and CSV), the printout and a copy; what
# they hold is read back on the Linux side. Their folder's name is not ASCII,
# as a guardian's or an officer's user folder often is: the libraries that
# write two of them (libxlsxwriter, SQLite) take file names as UTF-8 on
# Windows too, not in the ANSI code page.
out="$WINEPREFIX/drive_c/导出"
mkdir -p "$out"
kgadmin export "$store" 'C:\导出\申请表.xlsx' >/dev/null || fail "kgadmin.exe export .xlsx failed"
kgadmin export "$store" 'C:\导出\applications.csv' >/dev/null || fail "kgadmin.exe export .csv failed"
kgadmin print "$store" 110101201903050021 'C:\导出\form.pdf' >/dev/null || fail "kgadmin.exe print failed"
kgadmin backup "$store" 'C:\导出\备份副本.copy' >/dev/null || fail "kgadmin.exe backup failed"
/usr/bin/python3 - "$out/申请表.xlsx" <<'PY' || fail "the XLSX export does not hold the application"
import sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1])
values = [c.value for sheet in book for row in sheet.iter_rows() for c in row]
sys.exit(0 if "王小红" in values and "110101201903050021" in values else 1)
PY
grep -q '"王小红"' "$out/applications.csv" || fail "the CSV export does not hold the application"
pdftotext "$out/form.pdf" - | grep -q 王小红 || fail "the printout does not show the application"
[ -s "$out/备份副本.copy" ] || fail "the copy is empty or not where it was asked for"
say "kgadmin.exe: XLSX and CSV export, printout and copy hold the application"

# --- The uninstaller -------------------------------------------------------------
timeout 120 "$wine" "$program/uninstall.exe" /S _?="$windows_program" || fail "the uninstaller failed"
sleep 2
[ ! -f "$program/kgfiling.exe" ] || fail "the uninstaller left kgfiling.exe"
[ ! -f "$entry" ] || fail "the uninstaller left the Start-menu entry"
say "uninstalled"
say "passed; screenshots in $shots"
