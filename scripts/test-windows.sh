#!/usr/bin/env bash
# Builds the Windows program and its unit tests with mingw-w64 and runs them under 32-bit Wine: the
# unit tests through CTest, the whole job without a display, then the real window on a virtual X
# display (screenshots land in build/win32).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DMAILBALE_TESTS=ON -DMAILBALE_BENCH=OFF
cmake --build build/win32 -j "$(nproc)"
# No Mono or Gecko: the program needs neither, and their installers would ask on a display.
export WINEARCH=win32 WINEDEBUG=-all WINEPREFIX=$PWD/build/wine-prefix WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
# One test program at a time: they share the prefix's drive C: and registry.
ctest --test-dir build/win32 --output-on-failure -j 1
python3 tests/windows/job_test.py build/win32/mailbale.exe "$WINEPREFIX"
python3 tests/windows/window_test.py build/win32/mailbale.exe "$WINEPREFIX" build/win32
