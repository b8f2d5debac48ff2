#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need; installs nothing that
# is already there. Run as root (or with sudo) on a fresh machine.
#
#   scripts/setup.sh          everything (the test command's set)
#   scripts/setup.sh --tour   only what building qorvin, qorvin-server and the client library
#                             needs (scripts/run.sh): no test frameworks, no cross compiler, no
#                             Wine, no PostgreSQL server, no packaging tools
set -euo pipefail

# Besides the libraries: ca-certificates (HTTPS to real servers; the tests bring their own trust),
# clang with libclang-rt-14-dev (libFuzzer and the sanitizer headers of scripts/fuzz.sh),
# clang-format (the format command), qt6-translations-l10n (Qt's own texts in the dialog's
# language: the buttons of its message boxes), util-linux (runuser for pg-cluster.sh), locales
# (the locale sources and charmaps from which the conversion tests make GBK and CP1252 locales,
# and the CLI test a decimal-comma de_DE.UTF-8, with localedef; C.UTF-8 is built into glibc),
# prometheus-cpp-dev (the server's metrics), libcrypt-dev (libxcrypt's crypt(3): the HTTP users'
# hashes), libssl-dev (OpenSSL: the server's HTTPS, and the tests' throw-away TLS), libedit-dev
# (line editing and history in qorvin's interactive shell; the tour builds qorvin too),
# libsystemd-dev (sd_notify: the server's unit of Type=notify knows when it is ready), libisal-dev
# (ISA-L: the server's compressor of large result images, five times zlib's speed), scdoc
# (man pages), dpkg-dev, file, binutils, lintian (the Debian packages; readelf for the RUNPATH
# test), curl (the consumer test), debootstrap (the apt test's fresh Debian 12 root).
# python3-dev and python3-pybind11 (the qorvin Python module in python/, built when both are
# there), python3-pytest (its tests, in the test command), python3-pandas (its fetch_dataframe,
# tested when there), python3-venv (the test that pip installs the module into a virtual
# environment), python3-psycopg2 (the libpq + pandas side of bench/python_dataframe.py).
# The Windows build: the mingw-w64 cross compiler (posix threads: std::thread and std::mutex),
# zlib and libgcrypt built for it, and Wine (64-bit) to run its tests, with GnuTLS (libgnutls30,
# which Wine loads for TLS: HTTPS on WinInet; only recommended by Wine's packages); googletest
# (the sources, which the Windows tests compile with the cross compiler).
packages=(
  cmake ninja-build g++ pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libdeflate-dev libgcrypt20-dev libcurl4-openssl-dev
  qt6-base-dev libgl-dev fonts-noto-cjk qt6-translations-l10n
  libsqlite3-dev libpq-dev libboost-dev libcrypt-dev libedit-dev libsystemd-dev libisal-dev
  postgresql
  openssl libssl-dev ca-certificates
  clang libclang-rt-14-dev clang-format
  util-linux
  prometheus-cpp-dev
  scdoc dpkg-dev file binutils curl lintian debootstrap
  python3 python3-dev python3-pybind11 python3-pytest python3-pandas python3-venv python3-psycopg2
  locales
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev libgcrypt-mingw-w64-dev wine wine64 libgnutls30
  googletest
)

if [ "${1:-}" = --tour ]; then
  # What configuring the project needs (Qt for the dialog's targets, which are not built) and
  # what the three programs of the tour link.
  packages=(
    cmake ninja-build g++ pkg-config
    zlib1g-dev libdeflate-dev libgcrypt20-dev libcurl4-openssl-dev
    qt6-base-dev libgl-dev
    libsqlite3-dev libpq-dev libboost-dev libcrypt-dev prometheus-cpp-dev libssl-dev libedit-dev
    libsystemd-dev libisal-dev
    ca-certificates
  )
fi

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
