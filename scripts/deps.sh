#!/usr/bin/env bash
# Installs the Debian packages the client, its tools and its tests need, when
# they are missing (with sudo when not root). clang, its runtimes and llvm (for
# llvm-symbolizer) build and run the sanitizer builds and the fuzz targets
# (scripts/proof.sh).
set -euo pipefail
packages=(cmake g++ make qt6-base-dev libsqlite3-dev
  libjpeg62-turbo-dev libpq-dev postgresql postgresql-contrib tdsodbc unixodbc-dev odbc-postgresql
  libxcb1-dev pkg-config xvfb xdotool x11-utils x11-xserver-utils openbox x11vnc fonts-wqy-zenhei fonts-liberation2 imagemagick
  clang-format clang libclang-rt-14-dev llvm dpkg-dev file desktop-file-utils libxlsxwriter-dev python3-openpyxl poppler-utils postgresql-client)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
