#!/usr/bin/env bash
# The consumer test: what a user of the installed project gets.
#
#   consumer.sh BUILD_DIR SOURCE_DIR
#
# 1. `cmake --install` of the built tree into a temporary prefix (nothing is rebuilt); the files
#    land in their GNUInstallDirs places, the library has its SONAME, the unit and the
#    configuration file name the prefix.
# 2. The installed qorvin-server (sample schema, ports chosen by the system) serves:
#    - the installed qorvin reads a row and probes every transport, with no LD_LIBRARY_PATH;
#    - a host built outside the tree with find_package(Qorvin) reads the row over TCP;
#    - a host built with pkg-config reads it over HTTP;
#    - the installed basalt-host renders the Personal dialog against it (offscreen).
# 3. cpack makes the Debian packages; each is unpacked into a throw-away root with dpkg --root,
#    and the files and dependencies are checked there; with QORVIN_LINTIAN=1 lintian too. The
#    Python module's package python3-qorvin is among them when the build made the module: its
#    files lie in Debian's dist-packages, and the unpacked module loads the unpacked library.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/qorvin-consumer.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
unset LD_LIBRARY_PATH QORVIN_CLIENT_LIBRARY
# dpkg wants ldconfig and start-stop-daemon on the PATH, which a non-login shell may lack.
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"

fail() {
  echo "consumer: FAILED: $*" >&2
  exit 1
}
step() { echo "== $*"; }
expect_file() { [ -e "$1" ] || fail "missing $1"; }

# The Python module is built (and packaged) when python3-dev and python3-pybind11 are there.
with_python=0
grep -q '^set(CPACK_COMPONENTS_ALL ".*python' "$build/CPackConfig.cmake" && with_python=1
package_count=$((5 + with_python))

# ---- 1. install into a prefix ----------------------------------------------------------------
prefix=$work/prefix
step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log"
  fail "cmake --install"
}
libdir=$(sed -n 's/^libdir=\${prefix}\///p' "$build/packaging/qorvin-client.pc")
[ -n "$libdir" ] || fail "no libdir in qorvin-client.pc"
for f in bin/qorvin bin/qorvin-server bin/basalt-host "$libdir/libQorvinClient.so.1.0.0" \
  "$libdir/libQorvinClient.so.1" "$libdir/libQorvinClient.so" include/qorvin/QorvinClient.h \
  include/qorvin/QorvinServers.h include/qorvin/QorvinProgress.h include/qorvin/QorvinPieces.h \
  "$libdir/cmake/Qorvin/QorvinConfig.cmake" "$libdir/cmake/Qorvin/QorvinConfigVersion.cmake" \
  "$libdir/pkgconfig/qorvin-client.pc" "$libdir/qorvin/basalt-host" "$libdir/qorvin/libbasalt.so" \
  "$libdir/qorvin/libPersonal.so" "$libdir/qorvin/libQorvinClient.so" \
  share/qorvin/sample/schema.sql share/qorvin/sample/procedures/AddOrder.sql \
  share/qorvin/demo/demo-menu.txt share/man/man1/qorvin.1.gz share/man/man1/qorvin-server.1.gz \
  share/man/man1/basalt-host.1.gz share/bash-completion/completions/qorvin \
  etc/qorvin/qorvin-server.conf lib/systemd/system/qorvin-server.service \
  share/doc/Qorvin/server.md share/doc/Qorvin/cli.md share/doc/Qorvin/data-packet.md share/doc/qorvin-server/copyright; do
  expect_file "$prefix/$f"
done
if [ $with_python = 1 ]; then
  for f in __init__.py _literals.py _frame.py; do
    expect_file "$prefix/lib/python3/dist-packages/qorvin/$f"
  done
  [ ! -e "$prefix/lib/python3/dist-packages/qorvin/_build_paths.py" ] ||
    fail "the installed Python module names the build folder"
fi
readelf -d "$prefix/$libdir/libQorvinClient.so.1.0.0" | grep -q 'SONAME.*\[libQorvinClient\.so\.1\]' ||
  fail "libQorvinClient.so has no SONAME libQorvinClient.so.1"
# The programs find their libraries relative to themselves, wherever the prefix is.
readelf -d "$prefix/bin/qorvin" | grep -q "RUNPATH.*\[\$ORIGIN/../$libdir\]" || fail "qorvin's RUNPATH"
readelf -d "$prefix/$libdir/qorvin/basalt-host" | grep -q 'RUNPATH.*\[\$ORIGIN\]' ||
  fail "basalt-host's RUNPATH"
grep -qx "ExecStart=$prefix/bin/qorvin-server --config $prefix/etc/qorvin/qorvin-server.conf" \
  "$prefix/lib/systemd/system/qorvin-server.service" || fail "the unit does not name the prefix"
# The unit's configuration file is one the server accepts.
"$prefix/bin/qorvin-server" --config "$prefix/etc/qorvin/qorvin-server.conf" --help >/dev/null ||
  fail "qorvin-server rejects its installed configuration file"
# The configuration may hold a database password: owner and group only.
[ "$(stat -c %a "$prefix/etc/qorvin/qorvin-server.conf")" = 640 ] ||
  fail "the installed configuration file is not 0640"
# An edited configuration survives a second install.
echo "# edited by the operator" >>"$prefix/etc/qorvin/qorvin-server.conf"
cmake --install "$build" --prefix "$prefix" --component server >"$work/install2.log" ||
  fail "cmake --install a second time"
grep -qx '# edited by the operator' "$prefix/etc/qorvin/qorvin-server.conf" ||
  fail "a second install replaced the edited configuration file"
"$prefix/bin/qorvin-server" --version | grep -qx 'qorvin-server [0-9.]*' || fail "qorvin-server --version"
"$prefix/bin/qorvin-server" --config "$prefix/etc/qorvin/qorvin-server.conf" --db :memory: \
  --check-config >/dev/null || fail "qorvin-server --check-config rejects the installed configuration"
# The man pages are man pages.
zcat "$prefix/share/man/man1/qorvin.1.gz" | grep -q '^\.SH "*SYNOPSIS' || fail "qorvin.1 is no man page"

# ---- 2. the installed programs and two outside hosts against the installed server -----------
step "installed qorvin-server"
mkfifo "$work/ready"
"$prefix/bin/qorvin-server" --schema "$prefix/share/qorvin/sample/schema.sql" \
  --procedures "$prefix/share/qorvin/sample/procedures" --http-port 0 --tcp-port 0 --udp-port 0 \
  --log-format json --log-file "$work/requests.log" >"$work/ready" 2>"$work/server.err" &
server_pid=$!
line=""
read -r -t 60 line <"$work/ready" || true
[[ $line == "qorvin-server listening "* ]] || {
  cat "$work/server.err" >&2
  fail "the server did not start: '$line'"
}
http=$(sed 's/.* http=\([0-9]*\).*/\1/' <<<"$line")
tcp=$(sed 's/.* tcp=\([0-9]*\).*/\1/' <<<"$line")
udp=$(sed 's/.* udp=\([0-9]*\).*/\1/' <<<"$line")
query="select Name from Customers where Id = 1"
want="Ada Lovelace"

step "installed qorvin (no LD_LIBRARY_PATH)"
got=$("$prefix/bin/qorvin" --connect "t://127.0.0.1:$tcp" --format csv read "$query" 2>/dev/null)
grep -q "^$want" <<<"$got" || fail "qorvin read '$got'"
"$prefix/bin/qorvin" probe "h://127.0.0.1:$http" "t://127.0.0.1:$tcp" "u://127.0.0.1:$udp" ||
  fail "qorvin probe"

step "host built with find_package(Qorvin)"
cmake -S "$source_dir/tests/install/host" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/host-cmake.log" 2>&1 || {
  cat "$work/host-cmake.log"
  fail "configuring the CMake host"
}
cmake --build "$work/host-cmake" >>"$work/host-cmake.log" 2>&1 || {
  cat "$work/host-cmake.log"
  fail "building the CMake host"
}
got=$("$work/host-cmake/host" T 127.0.0.1 "$tcp" "$query") || fail "the CMake host: $got"
[ "$got" = "$want" ] || fail "the CMake host read '$got'"

step "host built with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
library=$(pkg-config --variable=clientlibrary qorvin-client)
[ "$library" -ef "$prefix/$libdir/libQorvinClient.so.1" ] || fail "clientlibrary is '$library'"
# shellcheck disable=SC2046
c++ -std=c++17 $(pkg-config --cflags qorvin-client) -DQORVIN_CLIENT_LIBRARY="\"$library\"" \
  "$source_dir/tests/install/host/host.cpp" -o "$work/host-pc" -ldl || fail "building the pkg-config host"
got=$("$work/host-pc" H 127.0.0.1 "$http" "$query") || fail "the pkg-config host: $got"
[ "$got" = "$want" ] || fail "the pkg-config host read '$got'"

step "installed basalt-host (offscreen)"
QT_QPA_PLATFORM=offscreen "$prefix/bin/basalt-host" --server "127.0.0.1:$http" --user u1 \
  --menu-file "$prefix/share/qorvin/demo/demo-menu.txt" --screenshot "$work/personal.png" \
  >"$work/basalt.log" 2>&1 || {
  cat "$work/basalt.log"
  fail "basalt-host"
}
[ -s "$work/personal.png" ] || fail "basalt-host wrote no screenshot"

step "metrics and the JSON request log"
curl -sf "http://127.0.0.1:$http/metrics" >"$work/metrics" || fail "GET /metrics"
# The installed qorvin's read and the CMake host's (a record-set read travels as SynchReadData).
grep -q '^qorvin_requests_total{operation="ExecSqlService.SynchReadData",outcome="ok",transport="tcp"} 2$' \
  "$work/metrics" || { grep "^qorvin_requests_total" "$work/metrics"; fail "the TCP reads are not counted"; }
kill "$server_pid"
wait "$server_pid" || fail "the server did not stop cleanly"
server_pid=""
grep -q '"request":"ExecSqlService.SynchReadData user=host".*"ok":true,"outcome":"ok","error":""}$' "$work/requests.log" ||
  fail "the JSON request log lacks the host's read"

# ---- 3. Debian packages into a throw-away root ----------------------------------------------
step "cpack -G DEB"
(cd "$work" && cpack -G DEB -B "$work/packages" --config "$build/CPackConfig.cmake" \
  >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  fail "cpack"
}
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
debs=("$work"/packages/*.deb)
[ ${#debs[@]} -eq $package_count ] || fail "expected $package_count packages, got ${#debs[@]}: ${debs[*]}"
# Each package says in its own one-line summary what it is.
summaries=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Description | sed -n 1p; done | sort -u)
[ "$(wc -l <<<"$summaries")" -eq $package_count ] || fail "the packages share a summary: $summaries"
for deb in "${debs[@]}"; do
  name=$(dpkg-deb -f "$deb" Package)
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "   $name: $depends"
  case $name in
    libqorvinclient1)
      grep -q 'libc6' <<<"$depends" || fail "$name: no dependencies from shlibdeps"
      # libcurl is loaded with dlopen, which dpkg-shlibdeps cannot see.
      grep -q 'libcurl4[a-z0-9]* (>= 7.80.0)' <<<"$depends" || fail "$name does not depend on libcurl"
      ;;
    qorvin)
      grep -q 'libqorvinclient1 (= ' <<<"$depends" || fail "$name does not depend on libqorvinclient1"
      ;;
    libqorvinclient-dev)
      grep -q 'libqorvinclient1 (= ' <<<"$depends" || fail "$name does not depend on libqorvinclient1"
      ;;
    qorvin-personal)
      grep -q 'libqorvinclient1 (= ' <<<"$depends" || fail "$name does not depend on libqorvinclient1"
      # Its labels are Chinese: a CJK font comes with it, and Qt's own texts in Chinese.
      dpkg-deb -f "$deb" Recommends | grep -q 'fonts-noto-cjk' || fail "$name lacks a CJK font"
      grep -q 'qt6-translations-l10n' <<<"$depends" || fail "$name does not depend on Qt's translations"
      ;;
    qorvin-server)
      grep -q 'adduser' <<<"$depends" || fail "$name does not depend on adduser"
      # The unit's ExecReload runs /bin/kill.
      grep -q 'procps' <<<"$depends" || fail "$name does not depend on procps"
      ;;
    python3-qorvin)
      grep -q 'libqorvinclient1 (= ' <<<"$depends" || fail "$name does not depend on libqorvinclient1"
      # The extension is built for one Python's ABI.
      grep -q 'python3 (>= 3\.[0-9]*), python3 (<< 3\.[0-9]*)' <<<"$depends" ||
        fail "$name does not depend on its python3"
      ;;
    *) fail "unexpected package $name" ;;
  esac
done
# --unpack runs no maintainer script that would change this machine (there is no preinst).
dpkg --root="$root" --log=/dev/null --force-not-root --force-depends --unpack "${debs[@]}" \
  >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  fail "dpkg --unpack"
}
for f in usr/bin/qorvin usr/bin/qorvin-server usr/bin/basalt-host usr/include/qorvin/QorvinClient.h \
  usr/share/man/man1/qorvin.1.gz usr/share/man/man1/qorvin-server.1.gz \
  usr/share/bash-completion/completions/qorvin \
  lib/systemd/system/qorvin-server.service usr/share/doc/libqorvinclient1/copyright \
  usr/share/doc/qorvin-personal/changelog.Debian.gz; do
  expect_file "$root/$f"
done
# The packaged programs and libraries carry Debian's hardening (cmake/Hardening.cmake): read-only
# relocations (RELRO) bound at load (BIND_NOW), position-independent programs, the stack
# protector, and glibc's checked calls (_FORTIFY_SOURCE) where the build was optimised.
hardening=$(sed -n 's/^QORVIN_HARDENING:BOOL=//p' "$build/CMakeCache.txt")
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
if [ "$hardening" = ON ]; then
  step "hardening of the packaged binaries"
  mapfile -t elves < <(cd "$root" && find usr/bin usr/lib -type f \( -name 'qorvin*' -o \
    -name 'libQorvinClient.so.*' -o -path '*/qorvin/*' \) | sort)
  programs=()
  for f in "${elves[@]}"; do
    header=$(readelf -hW "$root/$f" 2>/dev/null) || continue # not an ELF file
    readelf -lW "$root/$f" | grep -q GNU_RELRO || fail "$f has no RELRO segment"
    readelf -dW "$root/$f" | grep -Eq 'BIND_NOW|FLAGS_1.*[[:space:]]NOW' ||
      fail "$f is not bound at load (no BIND_NOW)"
    if readelf -lW "$root/$f" | grep -q 'INTERP'; then
      programs+=("$f")
      grep -q 'Type:.*DYN' <<<"$header" || fail "$f is not position-independent (PIE)"
    fi
  done
  [ ${#programs[@]} -ge 3 ] || fail "found only these packaged programs: ${programs[*]}"
  for f in usr/bin/qorvin usr/bin/qorvin-server; do
    syms=$(readelf --dyn-syms -W "$root/$f")
    grep -q '__stack_chk_fail' <<<"$syms" || fail "$f has no stack protector"
    case $build_type in
      Release | RelWithDebInfo | MinSizeRel)
        grep -E '__[a-z0-9_]+_chk' <<<"$syms" | grep -vq '__stack_chk' ||
          fail "$f calls none of glibc's checked functions (_FORTIFY_SOURCE)"
        ;;
    esac
  done
else
  step "hardening not checked (QORVIN_HARDENING is OFF)"
fi
# A conffile waits beside its place until the package is configured (which would run postinst).
expect_file "$root/etc/qorvin/qorvin-server.conf.dpkg-new"
unpacked=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Package} ${Status}\n' | sort)
[ "$(grep -c ' unpacked$' <<<"$unpacked")" -eq $package_count ] ||
  fail "dpkg does not list the $package_count packages: $unpacked"
if [ $with_python = 1 ]; then
  step "the packaged Python module"
  site=$root/usr/lib/python3/dist-packages
  for f in __init__.py _literals.py _frame.py; do expect_file "$site/qorvin/$f"; done
  ls "$site"/qorvin/_qorvin.cpython-*.so >/dev/null 2>&1 || fail "no extension in $site/qorvin"
  [ ! -e "$site/qorvin/_build_paths.py" ] || fail "the packaged module names the build folder"
  expect_file "$root/usr/share/doc/python3-qorvin/copyright"
  client=$(find "$root/usr/lib" -name 'libQorvinClient.so.1' | head -n 1)
  (cd "$work" && PYTHONPATH=$site QORVIN_CLIENT_LIBRARY=$client python3 -c '
import socket, qorvin
assert qorvin.__file__.startswith("'"$site"'"), qorvin.__file__
s = socket.socket(); s.bind(("127.0.0.1", 0))  # bound, not listening: refused
try:
    qorvin.connect("t://127.0.0.1:%d" % s.getsockname()[1]).cursor().execute("select 1")
    raise SystemExit("a call to a closed port succeeded")
except qorvin.OperationalError:
    pass
') || fail "the packaged Python module does not load the packaged library"
fi
find "$root/usr/lib" -name 'libQorvinClient.so.1' | grep -q . || fail "no libQorvinClient.so.1 in /usr/lib"
find "$root/usr/lib" -path '*/cmake/Qorvin/QorvinConfig.cmake' | grep -q . || fail "no CMake package"
grep -qx 'ExecStart=/usr/bin/qorvin-server --config /etc/qorvin/qorvin-server.conf' \
  "$root/lib/systemd/system/qorvin-server.service" || fail "the packaged unit"
grep -qx 'User=qorvin-server' "$root/lib/systemd/system/qorvin-server.service" ||
  fail "the unit does not run as qorvin-server"
dpkg-deb -e "$work"/packages/qorvin-server_*.deb "$work/server-control"
grep -qx '/etc/qorvin/qorvin-server.conf' "$work/server-control/conffiles" || fail "conffiles"
grep -q 'adduser --system' "$work/server-control/postinst" || fail "postinst makes no user"
grep -q 'mkdir -p "$dir"' "$work/server-control/postinst" || fail "postinst makes no state folder"
grep -q 'chmod 0640 /etc/qorvin/qorvin-server.conf' "$work/server-control/postinst" ||
  fail "postinst leaves the configuration readable by all"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$root/lib/systemd/system/qorvin-server.service" ||
  fail "the unit has no reload"
grep -qx 'LogsDirectory=qorvin-server' "$root/lib/systemd/system/qorvin-server.service" ||
  fail "the unit has no log folder"
# Purge keeps a database: run the packaged postrm against a state folder of a throw-away root.
sed -e "s|/var/lib/qorvin-server|$root/var/lib/qorvin-server|g" \
  -e "s|/var/log/qorvin-server|$root/var/log/qorvin-server|g" -e 's|deluser|true|g' \
  -e 's|/run/systemd/system|/nonexistent|g' "$work/server-control/postrm" >"$work/postrm"
mkdir -p "$root/var/lib/qorvin-server" "$root/var/log/qorvin-server"
echo data >"$root/var/lib/qorvin-server/qorvin.db"
sh "$work/postrm" purge 2>"$work/postrm.log" || fail "postrm purge failed"
expect_file "$root/var/lib/qorvin-server/qorvin.db"
[ ! -e "$root/var/log/qorvin-server" ] || fail "postrm purge kept the log folder"
grep -q 'is kept' "$work/postrm.log" || fail "postrm purge does not say it kept the database"
# lintian takes a while, so only when asked: QORVIN_LINTIAN=1 (no errors allowed).
if [ "${QORVIN_LINTIAN:-}" = 1 ]; then
  step "lintian"
  lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}" ||
    fail "lintian reports errors"
fi
echo "consumer: all checks passed"
