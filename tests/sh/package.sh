#!/usr/bin/env bash
# The Debian package: built by CPack from the build folder, its computed
# dependencies and its contents listed and checked.
#
#   tests/sh/package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
command -v dpkg-deb >/dev/null || {
  echo "SKIP: not a Debian system (dpkg-deb is missing)"
  exit 77
}
tmp=$(mktemp -d /tmp/kg-package-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
(cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1) || {
  cat "$tmp/cpack.log" >&2
  fail "cpack failed"
}
deb=$(ls "$tmp"/*.deb)
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $1, $3, $6}'
depends=$(dpkg-deb --field "$deb" Depends)
# Computed from the linked libraries.
for p in libc6 libstdc++6 libqt6widgets6 libsqlite3-0 libpq5 libjpeg62-turbo; do
  grep -q "\(^\|, \)$p\( \|,\|$\)" <<<"$depends" || fail "Depends lacks $p: $depends"
done
files=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for f in ./usr/bin/kgfiling ./usr/bin/kgadmin ./usr/share/applications/kgfiling.desktop \
  ./usr/share/icons/hicolor/256x256/apps/kgfiling.png; do
  grep -qx -- "$f" <<<"$files" || fail "$f is not in the package"
done
echo "ok: $(basename "$deb")"
