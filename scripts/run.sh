#!/usr/bin/env bash
# Installs what is missing, builds Trabix and starts it.
#   scripts/run.sh              on a desktop
#   xvfb-run scripts/run.sh     without one (a virtual X server; nothing is shown)
# The settings file Trabix.ini lives beside the program (build/app/Trabix.ini); the daily log
# files go to the directory you start it from.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build=${BUILD_DIR:-build}  # the build folder (default: build, as scripts/test.sh uses)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target trabix

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Trabix is built ($build/app/trabix) but there is no display to show its window:" \
       "start it from a desktop session, or under a virtual X server with: xvfb-run scripts/run.sh" >&2
  exit 1
fi
exec "$build/app/trabix"
