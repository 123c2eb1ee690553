#!/usr/bin/env bash
# Installs the Debian packages Velmora needs to build, test and run its demo.
# Idempotent: apt-get runs only when a package is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest libbenchmark-dev
  # database: client library, embedded engine, server, tools, headers
  libfbclient2 firebird3.0-server-core firebird3.0-server firebird3.0-utils firebird-dev
  # TLS and desktop
  openssl libssl-dev libfltk1.3-dev
  # the service manager: notify protocol, and systemd-analyze for the unit's check
  libsystemd-dev systemd
  # test peers and tools
  python3 xvfb xdotool x11-apps imagemagick nginx-light curl time procps iproute2
  # the Debian package: dependencies of the linked libraries, the package checker
  dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q "${missing[@]}"
fi
