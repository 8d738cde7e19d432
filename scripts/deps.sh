#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Trabix need, if any is missing.
# Usage: scripts/deps.sh [group...]
#   (always)  compiler, CMake, Qt, GoogleTest, python3 and curl for the end-to-end cases, Xvfb,
#             the Debian packaging tools
#   fuzz      clang with its compiler runtime (libFuzzer and the sanitizers for clang)
#   bench     the relays the benchmark compares with: socat, rinetd, haproxy; redis-server and
#             redis-benchmark for its real-client workload
set -euo pipefail
# qt6-svg-dev paints the package's icon, libsystemd-dev gives the headless twin sd_notify;
# dpkg-dev, lintian, desktop-file-utils and appstream build and check the Debian package;
# libpcap-dev writes the capture files and tshark checks them in the tests. libssl-dev gives
# the TLS legs OpenSSL; openssl is the peer tool of the TLS cases.
# openbox, xdotool and x11-utils drive the window under a real X server in the end-to-end cases.
# qt6-httpserver-dev serves the control API (its CMake files look for Qt WebSockets, which the
# package does not pull in: qt6-websockets-dev); prometheus brings promtool, which checks the
# metrics page, and python3-pytest runs the API's example test. iproute2, nftables and
# util-linux (unshare) make the network namespace in which the IPv6 cases drop SYNs to [::1].
# nghttp2-server brings nghttpd, the HTTP/2 server of the TLS cases.
packages=(g++ cmake ninja-build pkg-config googletest libgtest-dev qt6-base-dev qt6-svg-dev
          libsystemd-dev libgl-dev xvfb openbox xdotool x11-utils python3 curl procps
          dpkg-dev lintian desktop-file-utils appstream libpcap-dev tshark libssl-dev openssl
          qt6-httpserver-dev qt6-websockets-dev prometheus python3-pytest
          iproute2 nftables util-linux nghttp2-server)
for group in "$@"; do
  case $group in
    # clang itself only recommends its runtime; libclang-rt-dev follows the default clang
    # version, so nothing here names one.
    fuzz) packages+=(clang libclang-rt-dev) ;;
    bench) packages+=(socat rinetd haproxy redis-server redis-tools) ;;
    *) echo "scripts/deps.sh: unknown group '$group' (fuzz, bench)" >&2; exit 2 ;;
  esac
done
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
