#!/usr/bin/env bash
# Makes the Windows x86-64 package of the client and kgadmin, from Debian's
# archive alone: the MinGW-w64 toolchain, then Qt base and the libraries the
# programs link (SQLite, libpq, libjpeg, zlib, libxlsxwriter) from Debian's
# source packages, cross-built once into a cache keyed by their versions;
# then the project, the program folder with every DLL and plugin beside the
# programs, and the NSIS installer.
#
#   scripts/windows.sh          the package: build-win/kgfiling-<version>-setup.exe
#   scripts/windows.sh libs     only the cache (toolchain, libraries, Qt)
#   scripts/windows.sh tests    the package and the test suites, built for Windows
#
# KG_WIN_CACHE: the cache (default ~/.cache/kgfiling-win); KG_WIN_BUILD: the
# build folder (default build-win/ in the source tree); KG_WIN_JOBS: parallel
# jobs (default 2). KG_STORE is passed on to the project's configuration: a
# district builds its client for its server with
# KG_STORE=mssql:<host> scripts/windows.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stage=${1:-package}
case "$stage" in
libs | package | tests) ;;
*)
  echo "usage: scripts/windows.sh [libs|package|tests]" >&2
  exit 2
  ;;
esac
cache=${KG_WIN_CACHE:-$HOME/.cache/kgfiling-win}
build=${KG_WIN_BUILD:-$root/build-win}
jobs=${KG_WIN_JOBS:-2}
triple=x86_64-w64-mingw32
started=$SECONDS

say() { echo "windows.sh: $*" >&2; }
fail() {
  say "$*"
  exit 1
}

# --- The tools -------------------------------------------------------------
tools=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine64 nsis cmake ninja-build
  make pkg-config dpkg-dev tcl xz-utils bzip2 bison flex qt6-base-dev qt6-base-dev-tools
  libsqlite3-dev libpq-dev libjpeg62-turbo-dev zlib1g-dev libxlsxwriter-dev)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  say "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- The versions, and the cache they key ----------------------------------
# Each library is built from the source of the version the host has of it, so
# that the Windows programs and the Linux ones use the same code; Qt's version
# must equal the host's Qt tools (moc, uic, rcc run on the host).
srcver() { dpkg-query -W -f='${source:Version}' "$1"; }
declare -A sources=(
  [qt6-base]=$(srcver qt6-base-dev)
  [sqlite3]=$(srcver libsqlite3-dev)
  [postgresql-15]=$(srcver libpq-dev)
  [libjpeg-turbo]=$(srcver libjpeg62-turbo-dev)
  [zlib]=$(srcver zlib1g-dev)
  [libxlsxwriter]=$(srcver libxlsxwriter-dev)
)
# The recipe below: raise it when a library's build changes.
recipe=2
toolchain_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
versions=$(
  echo "recipe $recipe"
  echo "g++-mingw-w64-x86-64-posix $toolchain_version"
  for p in "${!sources[@]}"; do echo "$p ${sources[$p]}"; done | sort
)
key=$(echo "$versions" | sha1sum | cut -c1-12)
prefix=$cache/$key
mkdir -p "$prefix" "$cache/src"
echo "$versions" >"$prefix/versions.txt"

# The toolchain file for CMake: the -posix compilers (std::thread), the
# MinGW sysroot and the cache, never the host's libraries.
cat >"$prefix/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

# --- The sources -------------------------------------------------------------
# The system's sources list has no deb-src: apt gets a private one, with its
# own lists and cache, so the system's own lists stay as they are.
aptdir=$cache/apt
apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
  -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache")
apt_ready=""
fetch() { # package version -> the unpacked source's folder on stdout
  local pkg=$1 ver=$2 dir=$cache/src/$1-${2#*:}
  if [ ! -f "$dir/.unpacked" ]; then
    if [ -z "$apt_ready" ]; then
      mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
      if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$aptdir/sources.list.d/src.sources"
      else
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"$aptdir/sources.list.d/src.list"
      fi
      apt-get "${apt_private[@]}" update -qq >&2 || fail "apt could not read the source lists"
      apt_ready=1
    fi
    rm -rf "$dir" "$cache/src/dl-$pkg"
    mkdir -p "$cache/src/dl-$pkg"
    # The host's version first; when the archive lists it but does not serve
    # it (as happens with security updates), the newest that it serves.
    local v got=""
    for v in "$ver" $(apt-cache "${apt_private[@]}" showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV); do
      if (cd "$cache/src/dl-$pkg" && apt-get "${apt_private[@]}" source --download-only "$pkg=$v" >/dev/null 2>&1); then
        got=$v
        break
      fi
      rm -f "$cache/src/dl-$pkg"/*
    done
    [ -n "$got" ] || fail "no source of $pkg could be downloaded"
    [ "$got" = "$ver" ] || say "the source of $pkg $ver is not served; built from $got"
    dpkg-source --no-check -x "$cache/src/dl-$pkg"/*.dsc "$dir" >/dev/null || fail "the source of $pkg $ver did not unpack"
    rm -rf "$cache/src/dl-$pkg" "$cache/src/${pkg}_"*
    touch "$dir/.unpacked"
  fi
  echo "$dir"
}
# A step's output goes to its log in the cache; a failure shows the end of it.
logged() {
  local name=$1
  shift
  if ! "$@" >>"$cache/log-$name.txt" 2>&1; then
    tail -n 30 "$cache/log-$name.txt" >&2
    fail "$name: '$*' failed (whole log: $cache/log-$name.txt)"
  fi
}
done_mark() { [ -f "$prefix/.done-$1" ]; }
mark_done() { touch "$prefix/.done-$1"; }
cmake_cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$prefix/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$prefix")
mkdir -p "$prefix/bin" "$prefix/lib/pkgconfig" "$prefix/include"
export PATH=$PATH # the host's tools; the cross tools go by their full names

# --- SQLite: the amalgamation, made on the host, compiled as sqlite3.dll ----
if ! done_mark sqlite; then
  t=$SECONDS
  src=$(fetch sqlite3 "${sources[sqlite3]}")
  work=$cache/work-sqlite
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && logged sqlite "$src/configure" --disable-tcl && logged sqlite make -j"$jobs" sqlite3.c)
  flags=(-O2 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS5 -DSQLITE_ENABLE_RTREE -DSQLITE_THREADSAFE=1
    -DSQLITE_API=__declspec\(dllexport\))
  $triple-gcc-posix "${flags[@]}" -shared -o "$prefix/bin/sqlite3.dll" "$work/sqlite3.c" \
    -Wl,--out-implib,"$prefix/lib/libsqlite3.dll.a"
  cp "$work/sqlite3.h" "$prefix/include/"
  v=${sources[sqlite3]%%-*}
  printf 'prefix=%s\nlibdir=${prefix}/lib\nincludedir=${prefix}/include\n\nName: SQLite\nDescription: SQL database engine\nVersion: %s\nLibs: -L${libdir} -lsqlite3\nCflags: -I${includedir}\n' \
    "$prefix" "$v" >"$prefix/lib/pkgconfig/sqlite3.pc"
  rm -rf "$work"
  mark_done sqlite
  say "SQLite built in $((SECONDS - t)) s"
fi

# --- zlib (libxlsxwriter's) ------------------------------------------------
# Debian's zlib source has no Windows build files: the library's sources
# are compiled as zlib1.dll, the name Windows programs expect.
if ! done_mark zlib; then
  t=$SECONDS
  src=$(fetch zlib "${sources[zlib]}")
  files=()
  for part in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees \
    uncompr zutil; do
    files+=("$src/$part.c")
  done
  logged zlib $triple-gcc-posix -O2 -shared -o "$prefix/bin/zlib1.dll" "${files[@]}" \
    -Wl,--out-implib,"$prefix/lib/libz.dll.a"
  cp "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
  mark_done zlib
  say "zlib built in $((SECONDS - t)) s"
fi

# --- libjpeg (the libjpeg 6.2 interface, as on the host) -------------------
if ! done_mark jpeg; then
  t=$SECONDS
  src=$(fetch libjpeg-turbo "${sources[libjpeg-turbo]}")
  # Its own GNUInstallDirs takes folder names literally: they are given whole.
  work=$cache/work-jpeg
  rm -rf "$work"
  logged jpeg cmake -S "$src" -B "$work" "${cmake_cross[@]}" -DENABLE_STATIC=OFF -DENABLE_SHARED=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DCMAKE_INSTALL_BINDIR="$prefix/bin" -DCMAKE_INSTALL_LIBDIR="$prefix/lib" \
    -DCMAKE_INSTALL_INCLUDEDIR="$prefix/include" -DCMAKE_INSTALL_DATAROOTDIR="$prefix/share" \
    -DCMAKE_INSTALL_DOCDIR="$prefix/share/doc" -DCMAKE_INSTALL_MANDIR="$prefix/share/man"
  logged jpeg cmake --build "$work" -j"$jobs"
  logged jpeg cmake --install "$work"
  rm -rf "$work"
  mark_done jpeg
  say "libjpeg built in $((SECONDS - t)) s"
fi

# --- libxlsxwriter -----------------------------------------------------------
# Built with Windows' own file API for the workbook's file: for MinGW the
# library opens it with fopen(), which reads the UTF-8 name it is given in the
# ANSI code page, so a folder such as C:\Users\张三 could not be written to on
# a Windows whose code page lacks the name. Its MSVC build widens the name and
# writes through minizip's iowin32; the MinGW build is made to do the same.
# (The -utf8names mark rebuilds only this library in an existing cache.)
if ! done_mark xlsxwriter-utf8names; then
  t=$SECONDS
  src=$(fetch libxlsxwriter "${sources[libxlsxwriter]}")
  work=$cache/work-xlsxwriter
  rm -rf "$work"
  mkdir -p "$work"
  cp -r "$src" "$work/src"
  sed -i '/^#ifdef __MINGW32__$/{N;N;/\n#undef _WIN32\n#endif/d}' "$work/src/src/packager.c"
  sed -i 's/^    if(MSVC)$/    if(WIN32)/' "$work/src/CMakeLists.txt"
  grep -q '__MINGW32__' "$work/src/src/packager.c" && fail "libxlsxwriter: packager.c was not made to use the wide API"
  grep -A1 "^    if(WIN32)$" "$work/src/CMakeLists.txt" | grep -q iowin32 || fail "libxlsxwriter: iowin32.c was not added to its build"
  logged xlsxwriter cmake -S "$work/src" -B "$work/build" "${cmake_cross[@]}" -DBUILD_SHARED_LIBS=ON \
    -DZLIB_ROOT="$prefix" -DCMAKE_INSTALL_LIBDIR=lib
  logged xlsxwriter cmake --build "$work/build" -j"$jobs"
  logged xlsxwriter cmake --install "$work/build"
  # The library's pkg-config file names its prefix as CMake's; make it ours.
  sed -i "s|^prefix=.*|prefix=$prefix|" "$prefix/lib/pkgconfig/xlsxwriter.pc"
  rm -rf "$work"
  mark_done xlsxwriter-utf8names
  say "libxlsxwriter built in $((SECONDS - t)) s"
fi

# --- libpq -------------------------------------------------------------------
if ! done_mark libpq; then
  t=$SECONDS
  src=$(fetch postgresql-15 "${sources[postgresql-15]}")
  work=$cache/work-libpq
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && logged libpq "$src/configure" --host=$triple --prefix="$prefix" --without-readline \
    --without-zlib --without-icu --without-openssl --without-gssapi --without-ldap CC=$triple-gcc-posix)
  logged libpq make -C "$work/src/interfaces/libpq" -j"$jobs"
  logged libpq make -C "$work/src/include" install
  logged libpq make -C "$work/src/interfaces/libpq" install
  rm -rf "$work"
  mark_done libpq
  say "libpq built in $((SECONDS - t)) s"
fi

# --- Qt base -----------------------------------------------------------------
# Only what the project loads: Core, Gui, Widgets and Test; the windows
# platform plugin. No SQL module: the store reaches each server through its
# own library (SQLite, libpq, ODBC). Debian removed the Wintab headers
# (tablet events off).
if ! done_mark qt; then
  t=$SECONDS
  src=$(fetch qt6-base "${sources[qt6-base]}")
  work=$cache/work-qt
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && "$src/configure" -prefix "$prefix" -release -shared -xplatform win32-g++ \
    -nomake examples -nomake tests -no-dbus -no-opengl -no-icu -no-feature-network -no-feature-printsupport \
    -no-feature-xml -no-feature-concurrent -no-feature-tabletevent -no-zstd -no-glib -no-feature-vulkan \
    -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
    -no-feature-sql \
    -qt-host-path /usr -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$prefix/toolchain.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >"$cache/qt-configure.log" 2>&1) ||
    fail "Qt's configure failed: see $cache/qt-configure.log"
  cmake --build "$work" --parallel "$jobs" >"$cache/qt-build.log" 2>&1 || fail "Qt's build failed: see $cache/qt-build.log"
  logged qt cmake --install "$work"
  rm -rf "$work"
  mark_done qt
  say "Qt built in $((SECONDS - t)) s"
fi
say "libraries and Qt ready in $prefix ($((SECONDS - started)) s)"
[ "$stage" = libs ] && exit 0

# --- The project -------------------------------------------------------------
# pkg-config sees only the cross-built libraries (otherwise it finds the
# host's xcb and the build links it).
t=$SECONDS
project=$build/project
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=
testing=OFF
[ "$stage" = tests ] && testing=ON
mkdir -p "$build"
logged project cmake -S "$root" -B "$project" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$prefix/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DBUILD_TESTING=$testing "-DKG_STORE=${KG_STORE:-}"
rm -f "$cache/log-project.txt"
if ! cmake --build "$project" -j"$jobs" >"$build/project-build.log" 2>&1; then
  grep -E 'error|Error' "$build/project-build.log" | head -n 30 >&2
  fail "the project did not build for Windows (whole log: $build/project-build.log)"
fi
say "project built in $((SECONDS - t)) s"

# --- The program folder --------------------------------------------------------
# There is no windeployqt here: the plugins Qt loads are named, and every DLL
# that a program, a DLL or a plugin imports is found in the cache or the
# MinGW runtime and put beside the programs. What none of them holds is
# Windows' own (kernel32.dll, odbc32.dll, ...).
runtime_dirs=("$prefix/bin" "$prefix/lib" "$(dirname "$($triple-gcc-posix -print-libgcc-file-name)")"
  "/usr/$triple/lib")
folder=$build/kgfiling
rm -rf "$folder"
mkdir -p "$folder/platforms" "$folder/styles"
cp "$project/kgfiling.exe" "$project/tools/kgadmin.exe" "$folder/"
# The client's platform, and the one kgadmin print draws its PDF on without
# a window.
cp "$prefix/plugins/platforms/qwindows.dll" "$prefix/plugins/platforms/qoffscreen.dll" "$folder/platforms/"
if compgen -G "$prefix/plugins/styles/*.dll" >/dev/null; then
  cp "$prefix/plugins/styles/"*.dll "$folder/styles/"
else
  rmdir "$folder/styles"
fi
imports() { $triple-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
pending=("$folder"/*.exe "$folder"/*/*.dll)
while [ ${#pending[@]} -gt 0 ]; do
  file=${pending[0]}
  pending=("${pending[@]:1}")
  for dll in $(imports "$file"); do
    [ -n "$(find "$folder" -maxdepth 1 -iname "$dll" -print -quit)" ] && continue
    for dir in "${runtime_dirs[@]}"; do
      found=$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit 2>/dev/null || true)
      if [ -n "$found" ]; then
        cp "$found" "$folder/"
        pending+=("$folder/$(basename "$found")")
        break
      fi
    done
  done
done
find "$folder" -iname '*.exe' -o -iname '*.dll' | xargs $triple-strip --strip-unneeded
say "program folder: $folder ($(du -sm "$folder" | cut -f1) MB, $(find "$folder" -type f | wc -l) files)"

# --- The installer -----------------------------------------------------------
version=$(sed -n 's/^project(kgfiling VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
setup=$build/kgfiling-$version-setup.exe
logged nsis makensis -V2 -INPUTCHARSET UTF8 -DSOURCE="$folder" -DOUTFILE="$setup" -DVERSION="$version" \
  "$root/packaging/kgfiling.nsi"
say "installer: $setup ($(du -m "$setup" | cut -f1) MB); all in $((SECONDS - started)) s"
