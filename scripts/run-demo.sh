#!/usr/bin/env bash
# Sets the machine up, builds the native preset and starts the console front
# end on the built-in demo machine.  Extra arguments go to the program.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEMO=quorvex/kvconsole   # the demo program, relative to the build tree
BUILD=$ROOT/build/linux

cd "$ROOT"
[ "${KV_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
cmake --preset linux
# Only the demo program and what it needs; everything when it has no target yet.
if ninja -C "$BUILD" -t query "$(basename "$DEMO")" >/dev/null 2>&1; then
  cmake --build --preset linux --target "$(basename "$DEMO")"
else
  cmake --build --preset linux
fi

if [ ! -x "$BUILD/$DEMO" ]; then
  echo "run-demo: $BUILD/$DEMO was not built (no such program yet)" >&2
  exit 1
fi
if [ $# -eq 0 ]; then
  set -- --machine demo
fi
exec "$BUILD/$DEMO" "$@"
