#!/usr/bin/env bash
# The main job: builds everything, then runs the simulated interface (or the real device when
# one is present) and shows its state. Stop with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)"

bin=build/linux/sim
"$bin/halvern-bus-sim" --model wren --loopback &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT INT TERM
for _ in $(seq 50); do
  "$bin/halvern-bus-sim" ctl status >/dev/null 2>&1 && break
  sleep 0.1
done
"$bin/halvern-bus-sim" ctl status
echo "halvern-bus-sim is running (pid $sim); Ctrl+C stops it."
wait $sim
