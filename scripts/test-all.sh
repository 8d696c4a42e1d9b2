#!/usr/bin/env bash
# The test command: sets the machine up, configures and builds the presets
# linux, linux-asan, linux-tsan, linux-tsa, linux-fuzz, win32 and win64, runs
# the native tests (under the sanitizers too), checks the locks (linux-tsa
# compiles the libraries with clang's thread-safety analysis), a short
# fuzzing run, and the win64 tests
# under Wine (on a virtual X screen), and prints a summary.  Goes on
# after a failure so that one run shows every broken preset; exits non-zero
# if anything failed.
#   KV_SKIP_SETUP=1      do not run scripts/setup.sh
#   KV_PRESETS="a b"     presets to handle (default: linux linux-asan linux-tsan linux-tsa linux-fuzz win32 win64)
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
PRESETS=${KV_PRESETS:-linux linux-asan linux-tsan linux-tsa linux-fuzz win32 win64}
LOGS=$ROOT/build/test-all
WINEPREFIX_DIR=$ROOT/build/win64/wineprefix
mkdir -p "$LOGS"

STEPS=()        # "name|result|seconds"
FAILED_STEPS=0
TESTS_PASSED=0
TESTS_FAILED=0

note() { printf '\n=== %s\n' "$*"; }

# step NAME COMMAND...: runs, times and records one step; returns its status.
step() {
  local name=$1 start rc
  shift
  note "$name"
  start=$(date +%s)
  "$@"
  rc=$?
  local seconds=$(( $(date +%s) - start ))
  if [ "$rc" -eq 0 ]; then
    STEPS+=("$name|ok|$seconds")
  else
    STEPS+=("$name|FAILED ($rc)|$seconds")
    FAILED_STEPS=$((FAILED_STEPS + 1))
  fi
  return "$rc"
}

# Runs a test preset and adds its counts to the totals.
run_ctest() {
  local preset=$1 log=$LOGS/ctest-$1.log rc counts
  shift
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  counts=$(sed -nE 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log" | tail -n 1)
  if [ -n "$counts" ]; then
    set -- $counts
    TESTS_FAILED=$((TESTS_FAILED + $1))
    TESTS_PASSED=$((TESTS_PASSED + $2 - $1))
  fi
  return "$rc"
}

# --- Wine and the virtual screen for the win64 tests -----------------------
XVFB_PID=
WINE_STARTED=0

start_xvfb() {
  local n
  for n in $(seq 90 200); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$LOGS/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || { echo "Xvfb :$n did not start (see $LOGS/xvfb.log)"; return 1; }
    sleep 0.1
  done
  export DISPLAY=":$n"
  echo "Xvfb on $DISPLAY (pid $XVFB_PID)"
}

start_wine() {
  export WINEPREFIX=$WINEPREFIX_DIR WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true   # a server left over by an earlier run
  wineserver -p || return 1
  WINE_STARTED=1
  # Creates the prefix on first use, and shows that programs start.
  scripts/wine-run.sh --prefix "$WINEPREFIX" cmd.exe /c ver
}

stop_wine() {
  if [ "$WINE_STARTED" = 1 ]; then
    WINEPREFIX=$WINEPREFIX_DIR wineserver -k >/dev/null 2>&1 || true
    WINE_STARTED=0
  fi
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}
trap stop_wine EXIT
trap 'exit 130' INT TERM

# --- The deliverables: the i686 programs, their pages and checksums ------------
DELIVERABLES=$ROOT/build/deliverables
# DLLs every Windows has; a deliverable that imports anything else fails.
SYSTEM_DLLS="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll oleaut32.dll
advapi32.dll version.dll msvcrt.dll shlwapi.dll"

deliverables() {
  local program dll rc=0
  rm -rf "$DELIVERABLES"
  mkdir -p "$DELIVERABLES"
  for program in build/win32/quorvex/win/quorvex.exe build/win32/update/update.exe; do
    [ -f "$program" ] || { echo "missing: $program"; rc=1; continue; }
    cp "$program" "$DELIVERABLES/"
    for dll in $(i686-w64-mingw32-objdump -p "$program" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p' | tr 'A-Z' 'a-z'); do
      case " $(echo $SYSTEM_DLLS) " in
        *" $dll "*) ;;
        *) echo "$(basename "$program") imports $dll, which is no system DLL"; rc=1 ;;
      esac
    done
  done
  # The browser's links open these pages beside it.
  cp README.md docs/ARCHITECTURE.md "$DELIVERABLES/"
  (cd "$DELIVERABLES" && sha256sum quorvex.exe update.exe README.md ARCHITECTURE.md > SHA256SUMS) || rc=1
  echo "deliverables in $DELIVERABLES:"
  ls -l "$DELIVERABLES"
  return "$rc"
}

# --- The run ------------------------------------------------------------------
if [ "${KV_SKIP_SETUP:-0}" != 1 ]; then
  if ! step "setup" scripts/setup.sh; then
    echo "setup failed: nothing can be built" >&2
    exit 1
  fi
fi

for preset in $PRESETS; do
  step "configure $preset" cmake --preset "$preset" || continue
  case $preset in
    linux-tsa)
      # Compiling is the check: the libraries only, nothing to run.
      step "lock check $preset" cmake --build --preset "$preset" --target kv_libraries
      continue
      ;;
    linux-fuzz)
      # Only the fuzzers: a short bounded run of each, from its corpus.
      step "build $preset" cmake --build --preset "$preset" --target kv_fuzzers || continue
      step "fuzz" run_ctest "$preset" -L '^fuzz$'
      continue
      ;;
  esac
  step "build $preset" cmake --build --preset "$preset" || continue
  case $preset in
    win32)
      # i686 programs cannot run here: built and linked only, then handed over.
      step "deliverables" deliverables
      ;;
    win64)
      if step "start Xvfb" start_xvfb && step "start Wine" start_wine; then
        step "test $preset (Wine)" run_ctest "$preset"
      fi
      stop_wine
      ;;
    *)
      step "test $preset" run_ctest "$preset"
      ;;
  esac
done

note "Summary"
for entry in "${STEPS[@]}"; do
  IFS='|' read -r name result seconds <<<"$entry"
  printf '  %-26s %-12s %5ss\n' "$name" "$result" "$seconds"
done
echo
if [ "$FAILED_STEPS" -eq 0 ]; then
  echo "All steps passed."
else
  echo "$FAILED_STEPS step(s) failed."
fi
echo "tests: $TESTS_PASSED passed, $TESTS_FAILED failed"
[ "$FAILED_STEPS" -eq 0 ]
