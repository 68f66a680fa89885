#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest: wine-run.sh LOADER PROGRAM [ARGUMENTS...].
# Wine may end a program that crashed ("Unhandled page fault ...") with status 0, and a test program
# that died half-way has run only some of its tests: either is a failure here, whatever the status.
set -uo pipefail
loader=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$loader" "$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}
if grep -qE '^wine: Unhandled|Unhandled exception|^Backtrace:|^wine: .*(Exception|exception|fault)' "$out"; then
  echo "wine-run: FAILED: $(basename "$1") crashed under Wine (status $status)" >&2
  exit 70
fi
if [ "$status" -eq 0 ] && grep -q '^\[==========\] Running' "$out" && ! grep -qE '^\[==========\] .* ran\.' "$out"; then
  echo "wine-run: FAILED: $(basename "$1") ended before its tests had run" >&2
  exit 71
fi
exit "$status"
