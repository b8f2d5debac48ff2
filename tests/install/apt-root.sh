#!/usr/bin/env bash
# The packages as an operator gets them: installed with apt into a fresh Debian 12 root.
#
#   apt-root.sh BUILD_DIR [SOURCE_DIR]
#
# 1. A minimal Debian 12 root (debootstrap --variant=minbase bookworm), made once and cached as
#    a tarball in BUILD_DIR/apt-root/ (a later run unpacks it: seconds instead of a minute or
#    two); every run unpacks it into a throw-away folder.
# 2. cpack makes the packages; apt-get installs qorvin-server, libqorvinclient1, qorvin and
#    libqorvinclient-dev from the .deb files in the chroot, resolving their dependencies from the
#    mirror and running the maintainer scripts. qorvin-personal is left out: its Qt 6 and CJK
#    font dependencies would add several minutes of downloads to every first run.
# 3. The server runs as its unit runs it (its User=, WorkingDirectory=, UMask= and ExecStart=
#    line, read from the packaged unit; there is no systemd in a chroot), in a network namespace
#    of its own so that the conffile's fixed ports touch nothing of this machine. The packaged
#    qorvin writes and reads a row; SIGHUP (the unit's reload) reloads and it still answers;
#    SIGTERM stops it with status 0.
# 4. apt-get purge keeps the database and the user that owns it (and says so), removes the
#    conffile and the log folder; with an empty state folder, purge removes the user too.
#
# Needs root, debootstrap and the Debian mirror (QORVIN_APT_MIRROR, default
# http://deb.debian.org/debian); without one of them the test is skipped (status 77). /proc is
# mounted in the root while it is used and unmounted on every way out; every process left in the
# root is killed, and the root deleted.
# shellcheck disable=SC2016 # dpkg-query formats and the inner scripts are meant literally
set -euo pipefail
build=$(cd "$1" && pwd)
mirror=${QORVIN_APT_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"

skip() {
  echo "apt-root: SKIPPED: $*" >&2
  exit 77
}
fail() {
  echo "apt-root: FAILED: $*" >&2
  exit 1
}
step() { echo "== [${SECONDS}s] $*"; }

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot, mount)"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/setup.sh installs it)"
for tool in chroot mount umount unshare ip curl; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
curl -sfI --max-time 30 "$mirror/dists/$suite/Release" >/dev/null ||
  skip "the Debian mirror $mirror cannot be reached"

work=$(mktemp -d /tmp/qorvin-apt-root.XXXXXX)
root=$work/root

# The processes whose root is the chroot (ours: nothing else runs there).
processes_in_root() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}
# The mount points at or under the root, deepest first.
mounts_in_root() {
  awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r
}
cleanup() {
  local status=$? pid point
  for pid in $(processes_in_root); do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in $(processes_in_root); do
    for _ in $(seq 100); do [ -e "/proc/$pid" ] || break; sleep 0.1; done
  done
  for point in $(mounts_in_root); do umount "$point" 2>/dev/null || umount -l "$point" || true; done
  if [ -n "$(mounts_in_root)" ]; then
    echo "apt-root: still mounted, $work left in place: $(mounts_in_root)" >&2
    exit 1
  fi
  rm -rf --one-file-system "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command in the root with a clean environment.
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root \
    DEBIAN_FRONTEND=noninteractive "$@"
}

# ---- 1. the root -----------------------------------------------------------------------------
cache_dir=$build/apt-root
cache=$cache_dir/debian-$suite-minbase.tar
if [ -s "$cache" ]; then
  step "unpacking the cached root $cache"
else
  step "debootstrap --variant=minbase $suite from $mirror (cached afterwards in $cache)"
  mkdir -p "$cache_dir" "$work/fresh"
  debootstrap --variant=minbase "$suite" "$work/fresh" "$mirror" >"$work/debootstrap.log" 2>&1 || {
    tail -30 "$work/debootstrap.log" >&2
    fail "debootstrap"
  }
  # Written beside, then moved: a run stopped half-way leaves no broken cache.
  tar --numeric-owner -C "$work/fresh" -cf "$cache.partial" . || fail "caching the root"
  mv "$cache.partial" "$cache"
  rm -rf --one-file-system "$work/fresh"
fi
mkdir -p "$root"
tar --numeric-owner -C "$root" -xpf "$cache" || fail "unpacking $cache"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No service starts from a maintainer script here.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"
mount -t proc proc "$root/proc"

# ---- 2. the packages through apt -------------------------------------------------------------
step "cpack -G DEB"
(cd "$work" && cpack -G DEB -B "$work/packages" --config "$build/CPackConfig.cmake" \
  >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  fail "cpack"
}
mkdir -p "$root/tmp/debs"
for name in qorvin-server libqorvinclient1 qorvin libqorvinclient-dev; do
  debs=("$work"/packages/"${name}"_*.deb)
  [ -f "${debs[0]}" ] || fail "cpack made no $name package"
  cp "${debs[0]}" "$root/tmp/debs/"
done
chmod -R a+rX "$root/tmp/debs"
step "apt-get install ./qorvin-server_*.deb ./libqorvinclient1_*.deb ./qorvin_*.deb ./libqorvinclient-dev_*.deb"
in_root apt-get update -q >"$work/apt.log" 2>&1 || {
  cat "$work/apt.log"
  fail "apt-get update in the root"
}
in_root sh -c 'cd /tmp/debs && apt-get install -y -q --no-install-recommends \
  ./qorvin-server_*.deb ./libqorvinclient1_*.deb ./qorvin_*.deb ./libqorvinclient-dev_*.deb' \
  >>"$work/apt.log" 2>&1 || {
  cat "$work/apt.log"
  fail "apt-get install of the packages"
}
for name in qorvin-server libqorvinclient1 qorvin libqorvinclient-dev; do
  [ "$(in_root dpkg-query -W -f='${Status}' "$name")" = "install ok installed" ] ||
    fail "$name is not installed"
done

step "what the maintainer scripts made"
passwd=$(in_root getent passwd qorvin-server) || fail "postinst made no user qorvin-server"
IFS=: read -r _ _ uid _ _ home _ <<<"$passwd"
[ "$uid" -lt 1000 ] || fail "qorvin-server is no system user (uid $uid)"
[ "$home" = /var/lib/qorvin-server ] || fail "qorvin-server's home is $home"
# Owners as the root's own user database names them.
owner_and_mode() { in_root stat -c '%U:%G %a' "$1"; }
for dir in /var/lib/qorvin-server /var/log/qorvin-server; do
  [ "$(owner_and_mode "$dir")" = "qorvin-server:qorvin-server 750" ] ||
    fail "$dir is $(owner_and_mode "$dir")"
done
[ "$(owner_and_mode /etc/qorvin/qorvin-server.conf)" = "root:qorvin-server 640" ] ||
  fail "the conffile is $(owner_and_mode /etc/qorvin/qorvin-server.conf)"

# ---- 3. the server as its unit runs it -------------------------------------------------------
step "qorvin-server as its unit runs it, reloaded, stopped"
cat >"$root/tmp/serve.sh" <<'EOF'
# Runs in the root, in a network namespace of its own: the unit's ExecStart as its User, in its
# WorkingDirectory with its UMask; a row written and read with the packaged qorvin; SIGHUP;
# SIGTERM. Prints what failed and exits non-zero on the first failure.
set -euo pipefail
fail() {
  echo "serve: $*" >&2
  [ ! -s /tmp/server.err ] || { echo "--- the server's standard error:" >&2; cat /tmp/server.err >&2; }
  exit 1
}
unit=/lib/systemd/system/qorvin-server.service
setting() { sed -n "s/^$1=//p" "$unit"; }
user=$(setting User)
group=$(setting Group)
[ -n "$user" ] && [ -n "$group" ] || fail "the unit names no User= or Group="
read -r -a command <<<"$(setting ExecStart)"
[ ${#command[@]} -gt 0 ] || fail "the unit has no ExecStart="
umask "$(setting UMask)"
cd "$(setting WorkingDirectory)"
mkfifo /tmp/ready
setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs -- "${command[@]}" \
  >/tmp/ready 2>/tmp/server.err &
pid=$!
line=""
read -r -t 60 line </tmp/ready || true
[[ $line == "qorvin-server listening address=127.0.0.1 "* ]] || fail "the server did not start: '$line'"
[ "$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")" = "$(id -u "$user")" ] ||
  fail "the server does not run as $user"
port() { sed "s/.* $1=\([0-9]*\).*/\1/" <<<"$line"; }
tcp=$(port tcp)
http=$(port http)
udp=$(port udp)
qorvin --connect "t://127.0.0.1:$tcp" exec-sql \
  "create table Notes(Id integer primary key, Body text)" >/dev/null || fail "create table"
qorvin --connect "h://127.0.0.1:$http" exec-sql "insert into Notes values (1, 'kept')" >/dev/null ||
  fail "insert"
got=$(qorvin --connect "u://127.0.0.1:$udp" --format csv read "select Body from Notes") ||
  fail "read: $got"
# CSV lines end in CR LF.
grep -qx kept <<<"${got//$'\r'/}" || fail "read '$got'"
qorvin probe "h://127.0.0.1:$http" "t://127.0.0.1:$tcp" "u://127.0.0.1:$udp" >/dev/null ||
  fail "qorvin probe"
# The unit's reload, as systemd runs it (its programs come with the package's dependencies).
read -r -a reload <<<"$(setting ExecReload)"
[ ${#reload[@]} -gt 0 ] || fail "the unit has no ExecReload="
"${reload[@]//\$MAINPID/$pid}" || fail "the unit's reload command failed: ${reload[*]}"
for _ in $(seq 600); do
  grep -q "configuration reloaded" /tmp/server.err && break
  kill -0 "$pid" 2>/dev/null || fail "the server ended on SIGHUP"
  sleep 0.05
done
grep -q "configuration reloaded" /tmp/server.err || fail "no 'configuration reloaded' after SIGHUP"
got=$(qorvin --connect "t://127.0.0.1:$tcp" --format csv read "select count(*) from Notes") ||
  fail "read after the reload: $got"
grep -qx 1 <<<"${got//$'\r'/}" || fail "read '$got' after the reload"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "the server ended with status $status on SIGTERM"
grep -q "qorvin-server: stopped" /tmp/server.err || fail "the server did not say it stopped"
db=/var/lib/qorvin-server/qorvin.db
[ "$(stat -c '%U:%G %a' "$db")" = "$user:$group 640" ] || fail "$db is $(stat -c '%U:%G %a' "$db")"
EOF
unshare --net -- sh -c 'ip link set lo up && exec chroot "$1" /usr/bin/env -i \
  PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 /bin/bash /tmp/serve.sh' sh "$root" ||
  fail "the packaged server (above)"

# ---- 4. purge --------------------------------------------------------------------------------
step "apt-get purge qorvin-server, a database in its state folder"
in_root apt-get purge -y -q qorvin-server >"$work/purge.log" 2>&1 || {
  cat "$work/purge.log"
  fail "apt-get purge qorvin-server"
}
! in_root dpkg-query -W -f='${Status}' qorvin-server 2>/dev/null | grep -q "ok installed" ||
  fail "qorvin-server is still installed"
[ -s "$root/var/lib/qorvin-server/qorvin.db" ] || fail "purge deleted the database"
grep -q "/var/lib/qorvin-server is kept" "$work/purge.log" || fail "purge does not say the database is kept"
in_root getent passwd qorvin-server >/dev/null || fail "purge removed the user that owns the kept database"
[ ! -e "$root/etc/qorvin/qorvin-server.conf" ] || fail "purge left the conffile"
[ ! -e "$root/var/log/qorvin-server" ] || fail "purge left the log folder"
[ ! -e "$root/usr/bin/qorvin-server" ] || fail "purge left the program"
in_root qorvin --version >/dev/null || fail "the qorvin package no longer works after the purge"

step "apt-get purge qorvin-server, an empty state folder"
rm -rf "$root/var/lib/qorvin-server"
in_root sh -c 'cd /tmp/debs && apt-get install -y -q --no-install-recommends ./qorvin-server_*.deb' \
  >"$work/reinstall.log" 2>&1 || {
  cat "$work/reinstall.log"
  fail "installing qorvin-server again"
}
in_root apt-get purge -y -q qorvin-server >"$work/purge2.log" 2>&1 || {
  cat "$work/purge2.log"
  fail "apt-get purge qorvin-server (empty state folder)"
}
[ ! -e "$root/var/lib/qorvin-server" ] || fail "purge left the empty state folder"
! in_root getent passwd qorvin-server >/dev/null || fail "purge left the user qorvin-server"

# ---- nothing left behind ---------------------------------------------------------------------
umount "$root/proc"
[ -z "$(processes_in_root)" ] || fail "processes left in the root: $(processes_in_root)"
[ -z "$(mounts_in_root)" ] || fail "still mounted: $(mounts_in_root)"
step "apt-root: all checks passed"
