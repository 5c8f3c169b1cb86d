#!/usr/bin/env bash
# The install and uninstall message boxes on a real desktop: an X server of
# its own (Xvfb), Wine in a prefix with the Japanese code page (932), and
# kvlogserver.exe /INSTALL, /INSTALL again, /UNINSTALL and /UNINSTALL again,
# none of them /SILENT. Each box is found by its X window (xdotool, by the
# window class Wine gives the program's windows), its caption read from the
# window (xprop) and its text from the dialog (svc_probe box);
# Return presses OK, and the program's exit code tells the result. A
# screenshot of each box is left in SCREENSHOT_DIR.
#   windows_desktop_boxes.sh KVLOGSERVER_EXE SVC_PROBE_EXE SCREENSHOT_DIR
# Needs Xvfb, xdotool, xprop and import (ImagemagicK); scripts/test-windows.sh
# installs them. The prefix lives in a temporary folder, removed at the end
# (KV_E2E_KEEP=1 keeps it); every wait is bounded. Ends with 0 when all
# checks hold.
set -euo pipefail

server_exe=$1
probe_exe=$2
shots=$3

wine=$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine || true)
wineserver=$(command -v /usr/lib/wine/wineserver64 || command -v wineserver64 || command -v wineserver || true)
for tool in Xvfb xdotool xprop import localedef; do
  if ! command -v "$tool" >/dev/null; then
    echo "windows_desktop_boxes: $tool is not installed (scripts/test-windows.sh installs it)" >&2
    exit 1
  fi
done
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "windows_desktop_boxes: wine64 is not installed" >&2
  exit 1
fi

work=$(mktemp -d)
xvfb=""
cleanup() {
  # Only this test's own prefix: the caller's may serve other tests.
  if [ -d "$work/prefix" ]; then WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true; fi
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
  if [ -n "${KV_E2E_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then
    echo "ok   $1"
  else
    echo "FAIL $1" >&2
    failures=$((failures + 1))
  fi
}
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND holds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# An X server on a display number nobody uses, which it picks and tells.
mkdir -p "$shots"
rm -f "$shots"/*.png
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
wait_for 30 test -s "$work/display" || {
  cat "$work/xvfb.log" >&2
  echo "windows_desktop_boxes: Xvfb did not start" >&2
  exit 1
}
export DISPLAY=":$(head -n 1 "$work/display")"

# The prefix: Japanese, as the texts are; booted without the display, so
# that nothing of the boot shows on it.
mkdir -p "$work/locale"
localedef -c -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" 2>/dev/null || true
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=ja_JP.UTF-8 LOCPATH=$work/locale
log=$work/wine.log
DISPLAY="" timeout 300 "$wine" wineboot -i >>"$log" 2>&1
"$wineserver" -w
"$wineserver" -p
probe() { timeout 60 "$wine" "$probe_exe" "$@" 2>>"$log" | tr -d '\r'; }
check "the prefix has code page 932" grep -qx "acp=932" <(probe acp)
pf="$WINEPREFIX/drive_c/Program Files/KelvaneSystem"
mkdir -p "$pf"
cp "$server_exe" "$pf/kvlogserver.exe"
exe='C:\Program Files\KelvaneSystem\kvlogserver.exe'

# The manager may show a service another process just made or deleted a few
# seconds late; each step waits until it sees the last one's result.
registered() { probe status KVLogService | grep -q '^state='; }
ended() { ! kill -0 "$1" 2>/dev/null; }
unregistered() { ! registered; }

# box NAME CAPTION TEXT CODE ARGS...: runs the program with ARGS, finds its
# box, checks caption and text, keeps a screenshot, presses OK and checks
# that the program ends with CODE.
box() {
  local name=$1 caption=$2 text=$3 code=$4 rc=0
  shift 4
  "$wine" "$exe" "$@" >"$work/$name.out" 2>&1 &
  local program=$!
  # Asked again and again rather than with --sync: a search ends with an X
  # error when a window it looks at goes away meanwhile, as Wine's first
  # windows in a prefix do.
  local window="" deadline=$((SECONDS + 180))
  while [ -z "$window" ] && [ "$SECONDS" -lt "$deadline" ]; do
    window=$(xdotool search --onlyvisible --class kvlogserver.exe 2>/dev/null | head -n 1) || true
    [ -n "$window" ] || sleep 0.5
  done
  check "[$name] a box shows" [ -n "$window" ]
  if [ -z "$window" ]; then
    kill -KILL "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    return
  fi
  check "[$name] caption $caption" grep -qxF "_NET_WM_NAME(UTF8_STRING) = \"$caption\"" \
    <(xprop -id "$window" _NET_WM_NAME)
  probe box >"$work/$name.box" || true
  check "[$name] its text" grep -qxF "text=$text" "$work/$name.box"
  grep -qxF "text=$text" "$work/$name.box" || sed -n 's/^text=/     it shows: /p' "$work/$name.box" >&2
  sleep 0.5  # painted
  import -window root "$shots/$name.png" 2>>"$log" || echo "note [$name] no screenshot"
  xdotool key --window "$window" Return 2>>"$log"
  wait_for 60 ended "$program" || kill -KILL "$program" 2>/dev/null || true
  wait "$program" || rc=$?
  check "[$name] OK ends it with exit code $code" [ "$rc" = "$code" ]
}

box 1-install 情報 "サービスを登録しました。" 0 /INSTALL
check "[1-install] the service is there" wait_for 30 registered
box 2-install-again エラー \
  '"System Error.  Code: 1073.\r\nThe specified service already exists" : サービス "KVLogService" の登録は失敗しました。' 1 /INSTALL
box 3-uninstall 情報 "サービスの登録を解除しました。" 0 /UNINSTALL
check "[3-uninstall] the service is gone" wait_for 30 unregistered
box 4-uninstall-again エラー \
  '"System Error.  Code: 1060.\r\nThe specified service does not exist as an installed service" : サービス "KVLogService" の登録解除に失敗しました。' \
  1 /UNINSTALL

echo "windows_desktop_boxes: $failures failed checks; screenshots in $shots"
[ "$failures" -eq 0 ]
