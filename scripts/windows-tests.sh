#!/usr/bin/env bash
# Runs the Windows build's test suites under Wine (wine64), offscreen, against
# the embedded store and the loopback PostgreSQL named by KG_TEST_PG, and
# compares the GBK table of the Windows build with the Linux build's.
#
#   scripts/windows-tests.sh [SUITE...]     default: every suite built
#
# Needs scripts/windows.sh tests first, and the Linux build (KG_BUILD, default
# build/) for the GBK table. KG_WIN_BUILD and KG_WIN_CACHE as for windows.sh.
# Every suite's output goes to build-win/wine-tests/<suite>.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KG_WIN_BUILD:-$root/build-win}
linux_build=${KG_BUILD:-$root/build}
project=$build/project
folder=$build/kgfiling
logs=$build/wine-tests
triple=x86_64-w64-mingw32
say() { echo "windows-tests.sh: $*" >&2; }
[ -d "$project/tests" ] && [ -d "$folder" ] || {
  say "no Windows test build in $project: run scripts/windows.sh tests first"
  exit 1
}
prefix=$(sed -n 's/^CMAKE_PREFIX_PATH:[A-Z]*=//p' "$project/CMakeCache.txt")
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)

# A Windows path of a Linux one (Wine's drive Z: is /).
winpath() { echo "Z:${1//\//\\}"; }

# A prefix of its own, made afresh for each run; one wineserver is kept
# running for the whole run (starting one per suite makes some suites
# crawl).
export WINEPREFIX=$build/wine-tests-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX" "$logs"
mkdir -p "$WINEPREFIX"
mkdir -p "$logs"
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
# Wine needs an X display even for Qt's offscreen platform (Windows' own
# message windows): a virtual desktop of this run.
eval "$("$root/scripts/xdesktop.sh" start "${KG_WIN_DISPLAY_FIRST:-150}")"
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true; "$root/scripts/xdesktop.sh" stop || true' EXIT
"$wine" wineboot -i >/dev/null 2>&1 || true

# The DLLs: the program folder's, Qt Test and the offscreen platform from
# the cache.
gcc_dir=$(dirname "$($triple-gcc-posix -print-libgcc-file-name)")
export WINEPATH="$(winpath "$folder");$(winpath "$prefix/bin");$(winpath "$gcc_dir");$(winpath "/usr/$triple/lib")"
# The plugins beside the suites, as beside the programs in the package.
for where in tests tools; do
  for dir in platforms styles imageformats; do
    rm -rf "${project:?}/$where/$dir"
    if [ -d "$prefix/plugins/$dir" ]; then cp -r "$prefix/plugins/$dir" "$project/$where/"; fi
  done
done
# Wine hands a Windows program none of the host's QT_* variables (they are
# the host's Qt's); WINEQT_<name> sets QT_<name> for the Windows programs,
# as WINEPATH sets PATH. Without them the suites ran on the windows platform
# of Wine's desktop, not offscreen.
# A Linux path is a path on the current drive, Z: (a drive letter's colon
# would end the platform's name).
export WINEQT_QPA_PLATFORM="offscreen:configfile=$root/tests/fixture/screen.json"
# Messages (a fatal one too) to the output, never into a message box that
# would wait for a click.
export WINEQT_FORCE_STDERR_LOGGING=1
# Qt's offscreen platform on Windows finds its fonts in one folder, not
# through Windows: the host's font files, the faces the suites have on Linux
# (WenQuanYi Zen Hei, Liberation, DejaVu).
fonts=$build/wine-tests-fonts
rm -rf "$fonts"
mkdir -p "$fonts"
find /usr/share/fonts -type f \( -name '*.ttf' -o -name '*.ttc' -o -name '*.otf' \) -exec ln -sf {} "$fonts/" \;
export WINEQT_QPA_FONTDIR=$fonts
export TZ=${TZ:-UTC}

failed=()
passed=()

# The GBK table: the same bytes for every character, the same text for
# every byte sequence.
if [ -x "$linux_build/tests/kggbktable" ]; then
  "$linux_build/tests/kggbktable" "$logs/gbk-linux.txt" >/dev/null
  if "$wine" "$project/tests/kggbktable.exe" "$(winpath "$logs/gbk-windows.txt")" >"$logs/gbktable.txt" 2>&1 &&
    cmp -s "$logs/gbk-linux.txt" "$logs/gbk-windows.txt"; then
    passed+=(gbktable)
    say "gbktable: the Windows build's GBK table equals the Linux build's ($(cat "$logs/gbktable.txt" | tr -d '\r'))"
  else
    failed+=(gbktable)
    say "gbktable: the tables differ (diff $logs/gbk-linux.txt $logs/gbk-windows.txt)"
    diff "$logs/gbk-linux.txt" "$logs/gbk-windows.txt" | head -n 20 >&2 || true
  fi
else
  failed+=(gbktable)
  say "gbktable: no Linux build of kggbktable in $linux_build/tests"
fi

suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
  for exe in "$project/tests"/tst_*.exe; do
    suites+=("$(basename "$exe" .exe)")
  done
fi
for suite in "${suites[@]}"; do
  t=$SECONDS
  # The suite's report goes to a file: Wine does not pass a console
  # program's own output through a pipe reliably.
  rm -f "$logs/$suite.txt"
  (cd "$project/tests" && timeout 900 "$wine" "$suite.exe" -o "$(winpath "$logs/$suite.txt"),txt" \
    >"$logs/$suite.wine.txt" 2>&1) && code=0 || code=$?
  totals=$(grep -a '^Totals' "$logs/$suite.txt" | tr -d '\r' | tail -n 1 || true)
  if [ "$code" -eq 0 ]; then
    passed+=("$suite")
    say "$suite: passed under Wine in $((SECONDS - t)) s ($totals)"
  else
    failed+=("$suite")
    say "$suite: FAILED under Wine (exit $code, $((SECONDS - t)) s; $logs/$suite.txt)"
    grep -a -E '^(FAIL|QFATAL|QWARN)' -A2 "$logs/$suite.txt" | tr -d '\r' | head -n 20 >&2 || true
  fi
done
say "${#passed[@]} passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
