#!/usr/bin/env bash
# cmake --install into a temporary prefix: the two programs, the menu entry
# and the icon in their places; the installed kgadmin creates the embedded
# store in the user's data folder of a fresh HOME when no store is named.
#
#   tests/sh/install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d /tmp/kg-install-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
}
(cd "$prefix" && find . -type f | sort)
for f in bin/kgfiling bin/kgadmin share/applications/kgfiling.desktop share/icons/hicolor/256x256/apps/kgfiling.png; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
for f in bin/kgfiling bin/kgadmin; do
  [ -x "$prefix/$f" ] || fail "$f is not executable"
  ! readelf -d "$prefix/$f" | grep -q 'R\(UN\)\?PATH' || fail "$f keeps a run path: $(readelf -d "$prefix/$f" | grep PATH)"
done
desktop=$prefix/share/applications/kgfiling.desktop
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "the menu entry does not validate"
fi
grep -qx 'Exec=kgfiling' "$desktop" || fail "the menu entry does not start kgfiling"
grep -qx 'Icon=kgfiling' "$desktop" || fail "the menu entry does not name the icon kgfiling"
[ "$(identify -format '%wx%h' "$prefix/share/icons/hicolor/256x256/apps/kgfiling.png" 2>/dev/null || echo 256x256)" = 256x256 ] ||
  fail "the icon is not 256 x 256"

# No store named, no KG_STORE: the embedded store in the user's data folder.
home=$tmp/home
mkdir -p "$home"
env -i PATH="$PATH" HOME="$home" "$prefix/bin/kgadmin" init >"$tmp/init.log" 2>&1 || {
  cat "$tmp/init.log" >&2
  fail "the installed kgadmin did not create the default store"
}
if grep -q 'KG_STORE' "$build/CMakeCache.txt" && [ -n "$(sed -n 's/^KG_STORE:STRING=//p' "$build/CMakeCache.txt")" ]; then
  echo "this build names its store (KG_STORE); the default store is not checked"
else
  [ -f "$home/.local/share/kgfiling/store.db" ] || fail "no store in ~/.local/share/kgfiling: $(cat "$tmp/init.log")"
  env -i PATH="$PATH" HOME="$home" "$prefix/bin/kgadmin" status | grep -q "SQLite file $home/.local/share/kgfiling/store.db" ||
    fail "the installed kgadmin's status does not read the store it created"
  echo "the installed kgadmin created $home/.local/share/kgfiling/store.db"
fi
echo "ok: installed into $prefix"
