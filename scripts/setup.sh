#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need; installs nothing that
# is already there. Run as root (or with sudo) on a fresh machine.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libgcrypt20-dev libcurl4-openssl-dev
  qt6-base-dev libgl-dev fonts-noto-cjk
  libsqlite3-dev libpq-dev libboost-dev
  postgresql
  openssl libssl-dev clang
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
