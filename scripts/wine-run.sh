#!/usr/bin/env bash
# Runs a Windows x86_64 program under Wine: wine-run.sh [--prefix DIR] PROGRAM [ARGS...]
#
# The x86_64 toolchain makes CTest call this for every test, with the build
# tree's own prefix (build/win64/wineprefix).  Without --prefix, $WINEPREFIX is
# used, else build/win64/wineprefix of this checkout.  The first use creates
# the prefix (10-20 s); start `wineserver -p` with the same WINEPREFIX before
# many runs to keep each start near 0.1 s (scripts/test-all.sh does).
#   KV_WINEDEBUG  Wine's debug channels (default -all: quiet)
#   KV_WINE_DATA  Wine's XDG data folder, where its trash lives (default: wine-data beside the prefix)
set -eu

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = --prefix ]; then
  [ $# -ge 3 ] || { echo "usage: $0 [--prefix DIR] PROGRAM [ARGS...]" >&2; exit 2; }
  WINEPREFIX=$2
  shift 2
fi
[ $# -ge 1 ] || { echo "usage: $0 [--prefix DIR] PROGRAM [ARGS...]" >&2; exit 2; }

WINEPREFIX=${WINEPREFIX:-$ROOT/build/win64/wineprefix}
case $WINEPREFIX in /*) ;; *) WINEPREFIX=$PWD/$WINEPREFIX ;; esac
export WINEPREFIX
export WINEDEBUG=${KV_WINEDEBUG:--all}
# No Mono or Gecko installers: they would want a network (or a dialog).
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
export HOME=${HOME:-/root}
# Wine's shell moves what is deleted with undo into the desktop trash below
# $XDG_DATA_HOME (by default the user's ~/.local/share). Tests delete with
# undo, so Wine gets a data folder of its own beside the prefix, inside the
# build tree.
export XDG_DATA_HOME=${KV_WINE_DATA:-$(dirname "$WINEPREFIX")/wine-data}
mkdir -p "$XDG_DATA_HOME"

WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine) || {
  echo "wine-run.sh: no Wine found; run scripts/setup.sh" >&2; exit 127; }

# Create the prefix once, even when CTest starts several tests at a time.
if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.kv-ready" ]; then
      "$WINE" wineboot --init >/dev/null 2>&1 || true
      touch "$WINEPREFIX/.kv-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# Wine starts its desktop process (explorer.exe /desktop) from the first
# program that needs a window, and hands it that program's standard error.
# The desktop lives on until no program has used it for a second, so while
# other programs keep it busy it holds the first one's output open: a caller
# that reads the output to its end (CTest, execute_process) waits for the
# desktop, not for the program, and a test that passed in 40 s ends in
# CTest's time-out. So, unless both outputs are terminals, the program writes
# into files of this run that are copied to the real outputs as they grow,
# and the run ends when the program does, with its exit code.
if [ -t 1 ] && [ -t 2 ]; then
  exec "$WINE" "$@"
fi
OUTPUTS=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
PROGRAM_PID=
COPIES=()
finish() {
  [ -z "$PROGRAM_PID" ] || kill "$PROGRAM_PID" 2>/dev/null || true
  [ ${#COPIES[@]} -eq 0 ] || kill "${COPIES[@]}" 2>/dev/null || true
  rm -rf "$OUTPUTS"
}
trap finish EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
: >"$OUTPUTS/out"
: >"$OUTPUTS/err"
"$WINE" "$@" <&0 >"$OUTPUTS/out" 2>"$OUTPUTS/err" &
PROGRAM_PID=$!
# Each copy ends after the program has, with what the file holds by then.
tail -q -n +1 -s 0.1 --pid="$PROGRAM_PID" -f "$OUTPUTS/out" &
COPIES+=($!)
tail -q -n +1 -s 0.1 --pid="$PROGRAM_PID" -f "$OUTPUTS/err" >&2 &
COPIES+=($!)
STATUS=0
wait "$PROGRAM_PID" || STATUS=$?
PROGRAM_PID=
wait "${COPIES[@]}" || true
COPIES=()
exit "$STATUS"
