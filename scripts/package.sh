#!/usr/bin/env bash
# Builds the Debian package of Trabix: installs what is missing, builds the program in build/
# and runs CPack on it. The package lands in the top folder as trabix_<version>_<arch>.deb.
# Install it with: sudo apt install ./trabix_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)"
cpack --config build/CPackConfig.cmake -B build/package >/dev/null
deb=$(ls -t build/package/trabix_*.deb | head -n 1)
cp "$deb" .
echo "Built $(basename "$deb")"
