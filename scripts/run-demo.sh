#!/usr/bin/env bash
# Starts the USB device browser quorvex.exe on the built-in demo machine: the
# x86_64 Windows build under Wine. Without a display it runs on a virtual
# screen (Xvfb), takes a screenshot after a few seconds, ends the browser and
# says where the screenshot is.
#   scripts/run-demo.sh [ARGS...]            quorvex.exe ARGS (default: --machine demo)
#   scripts/run-demo.sh --console [ARGS...]  the console front end instead, natively
#                                            (default: --machine demo)
#   KV_DEMO_SECONDS  seconds before the screenshot on a virtual screen (default 6)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
[ "${KV_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh

if [ "${1:-}" = --console ]; then
  shift
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target kvconsole
  [ $# -gt 0 ] || set -- --machine demo
  exec "$ROOT/build/linux/quorvex/kvconsole" "$@"
fi

BUILD=$ROOT/build/win64
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target quorvex
EXE=$BUILD/quorvex/win/quorvex.exe
[ -f "$EXE" ] || { echo "run-demo: $EXE was not built" >&2; exit 1; }
[ $# -gt 0 ] || set -- --machine demo

# A prefix of its own, so that ending the demo ends nothing else.
PREFIX=$BUILD/wineprefix-demo
if [ -n "${DISPLAY:-}" ]; then
  exec scripts/wine-run.sh --prefix "$PREFIX" "$EXE" "$@"
fi

# No display: a virtual screen, Wine's own desktop window (so the window has
# its title bar), a screenshot, then the end of what this script started.
for n in $(seq 90 200); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB=$!
export DISPLAY=":$n" WINEPREFIX=$PREFIX
cleanup() {
  # Each step may find its process gone already; none of them may stop the
  # clean-up (the script runs with set -e), or the virtual screen stays.
  WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true
  if [ -n "${PROGRAM:-}" ]; then kill "$PROGRAM" 2>/dev/null || true; fi
  kill "$XVFB" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for i in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
scripts/wine-run.sh --prefix "$PREFIX" cmd.exe /c ver >/dev/null 2>&1 || true  # makes the prefix once
scripts/wine-run.sh --prefix "$PREFIX" explorer /desktop=quorvex,1024x768 "$EXE" "$@" &
PROGRAM=$!
sleep "${KV_DEMO_SECONDS:-6}"
SHOT=$BUILD/artifacts/run-demo.png
mkdir -p "$(dirname "$SHOT")"
import -window root -display ":$n" "$SHOT"
echo "run-demo: no display, so quorvex.exe ran on a virtual screen; its screenshot is $SHOT"
