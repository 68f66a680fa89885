#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, runs
# the tests of the compression workers under ThreadSanitizer, builds the Windows program and tests
# it under Wine, then builds the fuzz targets with clang and runs each of them briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
jobs=$(nproc)

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMAILBALE_SANITIZE=ON -DMAILBALE_BENCH=OFF
cmake --build build/test -j "$jobs"

# The tests of the compression workers and of the read-back checkers once more under
# ThreadSanitizer, in a build of their own.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMAILBALE_SANITIZE_THREAD=ON -DMAILBALE_BENCH=OFF
cmake --build build/tsan -j "$jobs" --target archiver_tests

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMAILBALE_SANITIZE=ON -DMAILBALE_FUZZ=ON -DMAILBALE_TESTS=OFF -DMAILBALE_BENCH=OFF
cmake --build build/fuzz -j "$jobs"

windows_start=$SECONDS
scripts/test-windows.sh
echo "The Windows part took $((SECONDS - windows_start)) s"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
TSAN_OPTIONS=halt_on_error=1 MAILBALE_UI=headless MAILBALE_TEST_TIMEOUT=300 build/tsan/tests/archiver_tests --gtest_filter='Pipeline.*:VolumeReadBack.*'
# The fuzz runs are tests like the others: each runs for 60 seconds.
ctest --test-dir build/test --output-on-failure -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure -j "$jobs"
