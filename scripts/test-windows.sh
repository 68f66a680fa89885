#!/usr/bin/env bash
# Builds the Windows program and runs its tests under Wine.
#  - The shipped program: 32-bit, built exactly as the README gives it (build/win32/mailbale.exe).
#  - The same sources for x86_64 with the tests (build/win64), run under 64-bit Wine on every machine:
#    the unit-test programs through CTest, the whole job without a display, then the real window on a
#    virtual X display (screenshots land in build/win64).
#  - Where this kernel runs 32-bit programs and 32-bit Wine is installed, the 32-bit build runs the
#    same tests too (screenshots in build/win32).
# A test that fails fails this script; what is skipped is said in one line beginning "SKIPPED:".
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export WINEDEBUG=-all
# No Mono or Gecko: the program needs neither, and their installers would ask on a display.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The Windows tests write to drive C: and to the registry of the Wine prefix made for them below.
export MAILBALE_DISPOSABLE_MACHINE=1

# The README's build command of the shipped program, exactly as the README gives it (checked, so
# the two cannot part).
readme_configure='cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DMAILBALE_TESTS=OFF'
grep -qxF "    $readme_configure" README.md || { echo "README.md no longer gives: $readme_configure" >&2; exit 1; }
$readme_configure
cmake --build build/win32 -j "$jobs"
test -f build/win32/mailbale.exe

# Runs every Windows test of one build under one Wine loader, in a prefix of its own made anew.
failures=()
run_suite() {
  local arch=$1 build=$2 loader=$3
  export WINEARCH=$arch WINEPREFIX=$PWD/build/wine-$arch MAILBALE_WINE=$loader
  rm -rf "$WINEPREFIX"
  "$loader" wineboot -i >/dev/null 2>&1
  echo "== Windows tests ($arch, $build) =="
  ctest --test-dir "$build" --output-on-failure -j 1 || failures+=("$arch unit tests")
  python3 tests/windows/job_test.py "$build/mailbale.exe" "$WINEPREFIX" || failures+=("$arch job tests")
  python3 tests/windows/window_test.py "$build/mailbale.exe" "$WINEPREFIX" "$build" || failures+=("$arch window test")
  "$loader" wineboot -k >/dev/null 2>&1 || true
}

# The 64-bit test build, on every machine.
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "Windows tests: FAILED: 64-bit Wine (/usr/lib/wine/wine64, Debian's wine64) is not installed" >&2
  exit 1
fi
cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release -DMAILBALE_TESTS=ON
cmake --build build/win64 -j "$jobs"
run_suite win64 build/win64 /usr/lib/wine/wine64

# The shipped 32-bit build runs its tests too where it can.
if ! scripts/runs-32bit.sh; then
  echo "SKIPPED: the 32-bit Windows tests: this kernel runs no 32-bit program (the 32-bit program was built, not run)"
elif [ ! -x /usr/lib/wine/wine ]; then
  echo "SKIPPED: the 32-bit Windows tests: 32-bit Wine (Debian's wine32:i386) is not installed (the 32-bit program was built, not run)"
else
  cmake -S . -B build/win32 -DMAILBALE_TESTS=ON
  cmake --build build/win32 -j "$jobs"
  run_suite win32 build/win32 /usr/lib/wine/wine
fi

if [ ${#failures[@]} -gt 0 ]; then
  echo "Windows tests: FAILED: ${failures[*]}" >&2
  exit 1
fi
echo "Windows tests: all passed"
