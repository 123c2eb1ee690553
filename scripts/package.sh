#!/usr/bin/env bash
# Makes the Debian package velmora_VERSION_amd64.deb in BUILD_DIR and prints
# its path as the last line.
#
#   scripts/package.sh [BUILD_DIR]
# An existing build directory is reused as it is configured; only what the
# package holds is built in it. A new one (default build-package) is
# configured without the tests and with Debian's build flags (hardening
# included), as a Debian package build would compile it.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-package}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  echo "== configuring $BUILD" >&2
  (
    cd "$ROOT"
    if command -v dpkg-buildflags >/dev/null 2>&1; then
      eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
      export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
    fi
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF >&2
  )
fi
echo "== building the package in $BUILD" >&2
ninja -C "$BUILD" velmora_programs >&2
(cd "$BUILD" && cpack -G DEB) >&2
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
DEB=$(cd "$BUILD" && pwd)/velmora_${VERSION}_amd64.deb
[ -f "$DEB" ] || { echo "cpack made no $DEB" >&2; exit 1; }
echo "$DEB"
