#!/usr/bin/env bash
# The update installer end to end under Wine: update_e2e.exe drives the real
# update.exe inside a Wine virtual desktop (so the windows have their frames),
# and this script takes the screenshots the driver asks for.
#
#   run-update-e2e.sh UPDATE_EXE DRIVER_EXE WORK_DIR ARTIFACT_DIR WINEPREFIX
#
# Uses $DISPLAY (the test command runs Xvfb); without one it starts its own.
# The pictures go to ARTIFACT_DIR (update-main.png, update-result.png).
set -u

[ $# -eq 5 ] || { echo "usage: $0 UPDATE_EXE DRIVER_EXE WORK_DIR ARTIFACT_DIR WINEPREFIX" >&2; exit 2; }
UPDATE_EXE=$1
DRIVER=$2
WORK=$3
ARTIFACTS=$4
PREFIX=$5
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
DESKTOP=800x600

# Wine sees the host's root as drive Z:.
to_windows() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

rm -rf "$WORK"
mkdir -p "$WORK/shots" "$ARTIFACTS"

XVFB_PID=
SHOOTER_PID=
cleanup() {
  [ -n "$SHOOTER_PID" ] && kill "$SHOOTER_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 120 220); do
    [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ] && break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  export DISPLAY=":$n"
fi

# Takes a picture of the virtual desktop for every NAME.request the driver
# writes, then answers with NAME.done.
(
  while :; do
    for request in "$WORK"/shots/*.request; do
      [ -e "$request" ] || continue
      name=$(basename "$request" .request)
      sleep 0.5  # let the windows finish painting
      import -window root -display "$DISPLAY" -crop "$DESKTOP+0+0" +repage "$ARTIFACTS/$name.png" \
        2>>"$WORK/import.log"
      rm -f "$request"
      touch "$WORK/shots/$name.done"
    done
    sleep 0.2
  done
) &
SHOOTER_PID=$!

timeout 240 "$ROOT/scripts/wine-run.sh" --prefix "$PREFIX" explorer "/desktop=kvupdate$$,$DESKTOP" \
  "$(to_windows "$DRIVER")" "$(to_windows "$UPDATE_EXE")" "$(to_windows "$WORK")" "$(to_windows "$WORK/shots")"
status=$?

if [ ! -f "$WORK/result.txt" ]; then
  echo "the driver left no report (exit status $status)"
  exit 1
fi
cat "$WORK/result.txt"
for picture in "$ARTIFACTS"/update-main.png "$ARTIFACTS"/update-result.png; do
  [ -s "$picture" ] && echo "screenshot: $picture"
done
[ "$(tail -n 1 "$WORK/result.txt" | tr -d '\r')" = PASS ]
