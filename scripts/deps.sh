#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Trabix need, if any is missing.
# Usage: scripts/deps.sh [extra packages...]
set -euo pipefail
# qt6-svg-dev paints the package's icon, libsystemd-dev gives the headless twin sd_notify;
# dpkg-dev, lintian, desktop-file-utils and appstream build and check the Debian package.
packages=(g++ cmake ninja-build pkg-config googletest libgtest-dev libbenchmark-dev qt6-base-dev
          qt6-svg-dev libsystemd-dev libgl-dev xvfb openbox xdotool x11-utils clang
          libclang-rt-14-dev python3 curl procps dpkg-dev lintian desktop-file-utils appstream "$@")
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
