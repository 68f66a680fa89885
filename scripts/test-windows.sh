#!/usr/bin/env bash
# Builds the Windows program with mingw-w64 and tests it under 32-bit Wine: the whole job without a
# display, then the real window on a virtual X display (screenshots land in build/win32).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DMAILBALE_TESTS=OFF -DMAILBALE_BENCH=OFF
cmake --build build/win32 -j "$(nproc)"
prefix=$PWD/build/wine-prefix
rm -rf "$prefix"
python3 tests/windows/job_test.py build/win32/mailbale.exe "$prefix"
python3 tests/windows/window_test.py build/win32/mailbale.exe "$prefix" build/win32
