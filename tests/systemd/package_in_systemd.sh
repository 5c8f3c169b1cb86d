#!/usr/bin/env bash
# The Debian package: lintian accepts it; under a real systemd dpkg -i
# registers, enables and starts KVLogService (only registers and enables it
# where policy-rc.d forbids starting services); dpkg -r stops it and removes
# the unit; dpkg -P leaves no unit behind.
#   package_in_systemd.sh BOX BUILD_DIR
set -uo pipefail
box=$1
build=$(cd "$2" && pwd)
source "$(dirname "$0")/box_lib.sh"
require_box
command -v cpack >/dev/null || skip "cpack is not installed"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
command -v lintian >/dev/null || skip "lintian is not installed (scripts/install-deps.sh installs it)"

packages=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$packages"' EXIT
(cd "$packages" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  fail "cpack failed: $(cat "$packages/cpack.log")"
deb=$(ls "$packages"/kvlogserver_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no kvlogserver_<version>_<arch>.deb in: $(ls "$packages")"

contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/kvlogserver ./usr/bin/kvlogsend ./usr/bin/kvlogwatch ./usr/bin/kvsvcrun \
  ./usr/share/man/man8/kvlogserver.8.gz ./usr/share/man/man8/kvsvcrun.8.gz ./usr/share/man/man1/kvlogsend.1.gz \
  ./usr/share/man/man1/kvlogwatch.1.gz ./usr/share/doc/kvlogserver/README.md ./usr/share/doc/kvlogserver/copyright \
  ./usr/share/doc/kvlogserver/changelog.gz ./usr/share/doc/kvlogserver/docs/service.md \
  ./usr/lib/sysusers.d/kvlogserver.conf; do
  grep -q " $file\$" <<<"$contents" || fail "the package lacks $file: $contents"
done
unpacked="$packages/unpacked"
dpkg-deb -x "$deb" "$unpacked"
for program in kvlogserver kvlogsend kvlogwatch kvsvcrun; do
  readelf -S "$unpacked/usr/bin/$program" | grep -q '\.symtab' && fail "$program is not stripped"
done

echo "== lintian: no error, no warning"
# Overrides, each with its reason, are in the package itself.
out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $out"
grep -q '^[EW]:' <<<"$out" && fail "lintian: $out"

start_box "kvtest-deb-$$-$RANDOM" "$packages"
trap 'stop_box; rm -rf "$packages"' EXIT
receive_port=$(free_udp_port)
repeat_port=$(free_udp_port "$receive_port")
in_box sh -c "mkdir -p /opt/KelvaneSystem && printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\n' $receive_port $repeat_port >/opt/KelvaneSystem/KVLogService.ini"
unit=/etc/systemd/system/KVLogService.service
# Whether a package may start services is the machine's policy-rc.d (a
# container image's forbids it); the box gets one of its own.
policy() { in_box sh -c "printf '#!/bin/sh\nexit $1\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d"; }
policy 0

echo "== dpkg -i"
out=$(in_box dpkg -i "$deb" 2>&1) || fail "dpkg -i failed: $out"
[ "$(in_box systemctl is-enabled KVLogService)" = enabled ] || fail "not enabled after dpkg -i"
wait_for 10 in_box systemctl is-active --quiet KVLogService || fail "not running after dpkg -i: $(full_status)"
in_box grep -qx 'ExecStart=/usr/bin/kvlogserver' "$unit" || fail "the unit does not run /usr/bin/kvlogserver"
user=$(in_box stat -c %U "/proc/$(in_box systemctl show -p MainPID --value KVLogService)")
[ "$user" = _kvlogservice ] || fail "the service runs as $user"
in_box kvlogsend --port "$receive_port" Package Test 4 0 "from the package" || fail "kvlogsend failed"

echo "== dpkg -r"
out=$(in_box dpkg -r kvlogserver 2>&1) || fail "dpkg -r failed: $out"
in_box systemctl is-active --quiet KVLogService && fail "still running after dpkg -r"
in_box test -e "$unit" && fail "the unit is still there after dpkg -r"
in_box test -e /usr/bin/kvlogserver && fail "the program is still there after dpkg -r"
in_box sh -c 'grep -q "from the package" /opt/KelvaneSystem/Logs/kvs*.log' || fail "the last log file lacks the event"

echo "== dpkg -i where policy-rc.d forbids starting services, dpkg -P"
policy 101
out=$(in_box dpkg -i "$deb" 2>&1) || fail "the second dpkg -i failed: $out"
[ "$(in_box systemctl is-enabled KVLogService)" = enabled ] || fail "not enabled after the second dpkg -i"
in_box systemctl is-active --quiet KVLogService && fail "started against policy-rc.d"
out=$(in_box dpkg -P kvlogserver 2>&1) || fail "dpkg -P failed: $out"
in_box test -e "$unit" && fail "dpkg -P left the unit behind"
in_box test -L /etc/systemd/system/multi-user.target.wants/KVLogService.service && fail "dpkg -P left the link behind"
in_box systemctl cat KVLogService >/dev/null 2>&1 && fail "systemd still knows the unit after dpkg -P"
echo "PASS"
