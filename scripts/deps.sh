#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Trabix need, if any is missing.
# Usage: scripts/deps.sh [extra packages...]
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config googletest libgtest-dev libbenchmark-dev qt6-base-dev
          libgl-dev xvfb clang libclang-rt-14-dev python3 curl procps "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
