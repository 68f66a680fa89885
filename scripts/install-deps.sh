#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   install-deps.sh build   - what building and running the program needs
#   install-deps.sh test    - that, plus the test tools (GoogleTest, clang's libFuzzer, zip readers,
#                             strace to count the program's system calls) and the Windows builds with
#                             what runs them (mingw-w64 for i686 and x86_64, 64-bit Wine, Xvfb); the
#                             32-bit Wine too, where this machine's kernel runs 32-bit programs
#   install-deps.sh windows - what building the Windows programs needs
#
# A package mirror often fails in part (an index being synced, a file of unexpected size): the set-up
# goes on with the package lists it has and fails only when a package this machine needs cannot be
# installed, naming it. The 32-bit Wine is a bonus (the Windows tests run under 64-bit Wine on every
# machine): when it cannot be installed, that is said in one line and the set-up goes on.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
want=(cmake ninja-build g++ zlib1g-dev)
optional=()
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev)
case "${1:-build}" in
  build) ;;
  test)
    want+=(googletest libgtest-dev clang libclang-rt-14-dev zip unzip p7zip-full python3 strace)
    want+=("${windows[@]}" wine wine64 xvfb xdotool imagemagick x11-utils)
    # 32-bit Wine only serves a kernel that runs 32-bit programs; on one without IA-32 emulation its
    # loader cannot even start, and its i386 dependencies need not resolve, so it is not asked for.
    if "$here/runs-32bit.sh"; then
      optional+=(wine32:i386)
    else
      echo "install-deps: this kernel runs no 32-bit program; 32-bit Wine is not installed" >&2
    fi
    ;;
  windows) want+=("${windows[@]}") ;;
  *) echo "usage: install-deps.sh [build|test|windows]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=() missing_optional=()
for p in "${want[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${optional[@]}"; do installed "$p" || missing_optional+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing_optional[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

# Refreshes the package lists, once more if the first try fails; then goes on with what it has,
# naming the indexes that could not be fetched.
refresh() {
  local log
  log=$(mktemp)
  for attempt in 1 2; do
    if apt-get update -qq >"$log" 2>&1; then rm -f "$log"; return 0; fi
    [ "$attempt" = 1 ] && { echo "install-deps: apt-get update failed; trying once more" >&2; sleep 5; }
  done
  echo "install-deps: some package indexes could not be fetched; going on with the lists at hand:" >&2
  grep -E '^(E|W|Err):' "$log" | sed 's/^/  /' >&2
  rm -f "$log"
}

echo "Installing: ${missing[*]} ${missing_optional[*]}"
refresh
if [ ${#missing[@]} -gt 0 ] && ! apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  # One at a time, to say which of them cannot be had.
  failed=()
  for p in "${missing[@]}"; do
    installed "$p" && continue
    apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1 || failed+=("$p")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "install-deps: FAILED: these packages, which this machine needs, cannot be installed: ${failed[*]}" >&2
    for p in "${failed[@]}"; do
      apt-get install -y --no-install-recommends --dry-run "$p" 2>&1 | grep -E '^(E:| .*Depends:)' | sed "s/^/  $p: /" >&2
    done
    exit 1
  fi
fi
for p in "${missing_optional[@]}"; do
  if ! apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1; then
    reason=$(apt-get install -y --dry-run "$p" 2>&1 | grep -m1 -E '^E:')
    echo "install-deps: SKIPPED: $p cannot be installed from the package lists at hand" \
      "(${reason:-no reason given}); going on without it" >&2
  fi
done
exit 0
