#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   install-deps.sh build   - what building and running the program needs
#   install-deps.sh test    - that, plus the test tools (GoogleTest, clang's libFuzzer, zip readers)
set -euo pipefail
want=(cmake ninja-build g++ zlib1g-dev)
if [ "${1:-build}" = test ]; then
  want+=(googletest libgtest-dev clang libclang-rt-14-dev zip unzip p7zip-full python3)
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
