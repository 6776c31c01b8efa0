#!/usr/bin/env bash
# Fault soak: the simulator daemon, the panel (offscreen) and a streaming host run together while
# faults come at random times from a seeded generator; prints the faults injected, crashes,
# hangs, bad settings files and streams that did not recover.
#
#   bash bench/soak/run.sh --faults 1000 --seed 7
#   bash bench/soak/run.sh --faults 60              # a seed is drawn and printed
#
# HALVERN_BUILD_DIR chooses the build folder (default build/linux); it is built when needed.
# Everything runs in a private folder, so a running panel or simulator is not touched.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${HALVERN_BUILD_DIR:-build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux -B "$build" >/dev/null
fi
if ! build_log=$(cmake --build "$build" --target halvern-bus-sim halvern-asio-host HalvernASIO \
  HalvernMixer 2>&1); then
  echo "$build_log" >&2
  exit 1
fi
exec python3 bench/soak/soak.py --build "$build" "$@"
