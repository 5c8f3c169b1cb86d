#!/usr/bin/env bash
# Upgrading from the package that ran the service as root (1.0, built from
# its commit once per build folder): dpkg -i of this package over it leaves
# KVLogService enabled and running as its own user, with the settings
# folder, the buffer file and the default log folder handed over, and no
# event of before or after the upgrade lost.
#   package_upgrade_in_systemd.sh BOX BUILD_DIR SOURCE_DIR
set -uo pipefail
box=$1
build=$(cd "$2" && pwd)
sources=$(cd "$3" && pwd)
source "$(dirname "$0")/box_lib.sh"
require_box
command -v cpack >/dev/null || skip "cpack is not installed"
command -v git >/dev/null || skip "git is not installed"
# The last commit whose package ran the service as root.
old_commit=b5300bc2bed6a02783a426afee5b4d71b8068a37
git -C "$sources" cat-file -e "$old_commit^{commit}" 2>/dev/null || skip "no commit $old_commit here (a shallow clone?)"

old="$build/upgrade-from-root"
old_deb=$(ls "$old"/package/kvlogserver_*.deb 2>/dev/null | head -n 1)
if [ -z "$old_deb" ]; then
  echo "== building the package of $old_commit"
  rm -rf "$old" && mkdir -p "$old/src" "$old/package"
  { git -C "$sources" archive "$old_commit" | tar -x -C "$old/src" &&
    cmake -S "$old/src" -B "$old/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DKV_BUILD_BENCH=OFF &&
    cmake --build "$old/build" -j2 && (cd "$old/package" && cpack -G DEB --config "$old/build/CPackConfig.cmake"); } \
    >"$old/build.log" 2>&1 || fail "the old package was not built: $(tail -n 20 "$old/build.log")"
  old_deb=$(ls "$old"/package/kvlogserver_*.deb | head -n 1)
fi
packages=$(mktemp -d "$build/upgrade-test.XXXXXX")
trap 'rm -rf "$packages"' EXIT
(cd "$packages" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  fail "cpack failed: $(cat "$packages/cpack.log")"
new_deb=$(ls "$packages"/kvlogserver_*.deb | head -n 1)

start_box "kvtest-upgrade-$$-$RANDOM" "$packages" "$old/package"
trap 'stop_box; rm -rf "$packages"' EXIT
receive_port=$(free_udp_port)
repeat_port=$(free_udp_port "$receive_port")
in_box sh -c "mkdir -p /opt/KelvaneSystem && printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\n' $receive_port $repeat_port >/opt/KelvaneSystem/KVLogService.ini"
in_box sh -c "printf '#!/bin/sh\nexit 0\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d"
process_user() { in_box stat -c %U "/proc/$(in_box systemctl show -p MainPID --value KVLogService)"; }

echo "== the old package: the service runs as root"
out=$(in_box dpkg -i "$old_deb" 2>&1) || fail "dpkg -i of the old package failed: $out"
wait_for 10 in_box systemctl is-active --quiet KVLogService || fail "the old one is not running: $(full_status)"
[ "$(process_user)" = root ] || fail "the old package's service runs as $(process_user)"
in_box kvlogsend --port "$receive_port" Upgrade Test 4 0 "before the upgrade" || fail "kvlogsend failed"
wait_for 10 in_box grep -q "before the upgrade" /opt/KelvaneSystem/KVLogService.buf || fail "the event is not buffered"

echo "== dpkg -i of this package over it"
out=$(in_box dpkg -i "$new_deb" 2>&1) || fail "the upgrade failed: $out"
[ "$(in_box systemctl is-enabled KVLogService)" = enabled ] || fail "not enabled after the upgrade"
wait_for 10 in_box systemctl is-active --quiet KVLogService || fail "not running after the upgrade: $(full_status)"
user=_kvlogservice
[ "$(process_user)" = $user ] || fail "the service runs as $(process_user) after the upgrade"
for path in /opt/KelvaneSystem /opt/KelvaneSystem/KVLogService.buf /opt/KelvaneSystem/Logs; do
  [ "$(in_box stat -c %U "$path")" = $user ] || fail "$path is not $user's after the upgrade"
done
in_box kvlogsend --port "$receive_port" Upgrade Test 4 0 "after the upgrade" || fail "kvlogsend failed"
in_box systemctl stop KVLogService || fail "no stop after the upgrade"
for text in "before the upgrade" "after the upgrade"; do
  in_box sh -c "grep -q '$text' /opt/KelvaneSystem/Logs/kvs*.log" || fail "no log file holds the event '$text'"
done
errors=$(in_box journalctl -t KVLogService -p err -o cat --no-pager)
[ -z "$errors" ] || fail "error entries across the upgrade: $errors"
echo "PASS"
