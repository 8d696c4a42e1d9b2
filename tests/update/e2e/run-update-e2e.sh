#!/usr/bin/env bash
# The update installer end to end under Wine: update_e2e.exe drives the real
# update.exe inside a Wine virtual desktop (so the windows have their frames),
# and this script takes the screenshots the driver asks for.
#
#   run-update-e2e.sh UPDATE_EXE DRIVER_EXE WORK_DIR ARTIFACT_DIR WINEPREFIX
#
# Uses $DISPLAY (the test command runs Xvfb); without one it starts its own.
# It runs twice: with the screen at 96 DPI and at 144 DPI (the prefix's
# LogPixels, put back to 96 at the end). The pictures go to ARTIFACT_DIR
# (update-main.png, update-result.png, and update-main-144dpi.png,
# update-result-144dpi.png).
set -u

[ $# -eq 5 ] || { echo "usage: $0 UPDATE_EXE DRIVER_EXE WORK_DIR ARTIFACT_DIR WINEPREFIX" >&2; exit 2; }
UPDATE_EXE=$1
DRIVER=$2
WORK=$3
ARTIFACTS=$4
PREFIX=$5
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)

# Wine sees the host's root as drive Z:.
to_windows() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

rm -rf "$WORK"
mkdir -p "$WORK/shots" "$ARTIFACTS"

XVFB_PID=
SHOOTER_PID=
# The screen's DPI of the prefix: Wine reads LogPixels from the user's desktop
# settings (older versions from the hardware profile's fonts key).
set_dpi() {
  local hex
  hex=$(printf '0x%x' "$1")
  for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
    "$ROOT/scripts/wine-run.sh" --prefix "$PREFIX" reg add "$key" /v LogPixels /t REG_DWORD /d "$hex" /f \
      >/dev/null 2>&1
  done
}
cleanup() {
  set_dpi 96
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
DESKTOP=800x600
shooter() {
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
}

# One run of the driver at a DPI, on a desktop that holds the main window.
run_at() {
  local dpi=$1 report=$WORK/result.txt
  DESKTOP=$2
  set_dpi "$dpi"
  rm -f "$report"
  shooter &
  SHOOTER_PID=$!
  timeout 240 "$ROOT/scripts/wine-run.sh" --prefix "$PREFIX" explorer "/desktop=kvupdate$$-$dpi,$DESKTOP" \
    "$(to_windows "$DRIVER")" "$(to_windows "$UPDATE_EXE")" "$(to_windows "$WORK/run$dpi")" "$(to_windows "$WORK/shots")"
  local status=$?
  kill "$SHOOTER_PID" 2>/dev/null
  wait "$SHOOTER_PID" 2>/dev/null
  SHOOTER_PID=
  if [ ! -f "$WORK/run$dpi/result.txt" ]; then
    echo "the driver left no report at $dpi DPI (exit status $status)"
    return 1
  fi
  cat "$WORK/run$dpi/result.txt"
  [ "$(tail -n 1 "$WORK/run$dpi/result.txt" | tr -d '\r')" = PASS ]
}

passed=0
run_at 96 800x600 || passed=1
run_at 144 1024x768 || passed=1
for picture in "$ARTIFACTS"/update-main.png "$ARTIFACTS"/update-result.png \
               "$ARTIFACTS"/update-main-144dpi.png "$ARTIFACTS"/update-result-144dpi.png; do
  [ -s "$picture" ] && echo "screenshot: $picture"
done
exit $passed
