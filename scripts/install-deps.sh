#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   install-deps.sh build   - what building and running the program needs
#   install-deps.sh test    - that, plus the test tools (GoogleTest, clang's libFuzzer, zip readers,
#                             strace to count the program's system calls)
#                             and the Windows build with what runs it (mingw-w64, 32-bit Wine, Xvfb)
#   install-deps.sh windows - what building the Windows program needs
set -euo pipefail
want=(cmake ninja-build g++ zlib1g-dev)
windows=(g++-mingw-w64-i686 libz-mingw-w64-dev)
case "${1:-build}" in
  test)
    want+=(googletest libgtest-dev clang libclang-rt-14-dev zip unzip p7zip-full python3 strace)
    want+=("${windows[@]}" wine wine32:i386 xvfb xdotool imagemagick x11-utils)
    ;;
  windows) want+=("${windows[@]}") ;;
esac
# 32-bit Wine comes from Debian's i386 architecture.
if printf '%s\n' "${want[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt-get update -qq
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
