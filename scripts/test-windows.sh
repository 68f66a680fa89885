#!/usr/bin/env bash
# Builds the Windows program and its unit tests with mingw-w64 and runs them under 32-bit Wine: the
# unit tests through CTest, the whole job without a display, then the real window on a virtual X
# display (screenshots land in build/win32). Where the machine cannot run 32-bit programs, the Wine
# part is skipped with a message.
set -euo pipefail
cd "$(dirname "$0")/.."
# First the README's build command, exactly as the README gives it (checked, so the two cannot part).
readme_configure='cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DMAILBALE_TESTS=OFF'
grep -qxF "    $readme_configure" README.md || { echo "README.md no longer gives: $readme_configure" >&2; exit 1; }
$readme_configure
cmake --build build/win32 -j "$(nproc)"
test -f build/win32/mailbale.exe
# Then the same build with its unit tests.
cmake -S . -B build/win32 -DMAILBALE_TESTS=ON
cmake --build build/win32 -j "$(nproc)"
# Wine runs 32-bit Linux code, which a kernel booted without IA-32 emulation cannot start at all
# ("Exec format error"). There the program is built and checked to build, but cannot be run: say so
# plainly rather than fail on the machine or pretend the tests passed.
if ! wine --version >/dev/null 2>&1; then
  echo "SKIPPED: the Windows tests under Wine: this machine cannot run 32-bit programs" \
    "($(wine --version 2>&1 | tail -n 1)); mailbale.exe and its unit tests were built, not run." >&2
  exit 0
fi
# No Mono or Gecko: the program needs neither, and their installers would ask on a display.
export WINEARCH=win32 WINEDEBUG=-all WINEPREFIX=$PWD/build/wine-prefix WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
# One test program at a time: they share the prefix's drive C: and registry.
ctest --test-dir build/win32 --output-on-failure -j 1
python3 tests/windows/job_test.py build/win32/mailbale.exe "$WINEPREFIX"
python3 tests/windows/window_test.py build/win32/mailbale.exe "$WINEPREFIX" build/win32
