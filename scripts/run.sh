#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a simulated Wren that loops its outputs
# back to its inputs, registers the ASIO driver, streams through it with the console host and
# prints the report, then leaves the simulator running (for the panel) until Ctrl+C.
# HALVERN_BUILD_DIR chooses another build folder (default build/linux).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${HALVERN_BUILD_DIR:-build/linux}
stream_seconds=${HALVERN_STREAM_SECONDS:-5}

bash scripts/setup.sh
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"

sim_bin=$build/sim/halvern-bus-sim
host_bin=$build/tools/asio-host/halvern-asio-host
driver_lib=$build/driver/HalvernASIO/libHalvernASIO.so

if "$sim_bin" ctl status >/dev/null 2>&1; then
  echo "run.sh: a simulator already runs at index 0; stop it first (or Ctrl+C its run.sh)." >&2
  exit 1
fi

sim_pid=
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    # Bounded: the simulator stops within a fraction of a second; after 5 s it is killed.
    for _ in $(seq 50); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$sim_bin" --model wren --loopback &
sim_pid=$!

ready=0
for _ in $(seq 100); do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "run.sh: halvern-bus-sim ended before it was ready." >&2
    exit 1
  fi
  if "$sim_bin" ctl status >/dev/null 2>&1; then
    ready=1
    break
  fi
  sleep 0.1
done
if [ "$ready" -ne 1 ]; then
  echo "run.sh: halvern-bus-sim was not ready after 10 s." >&2
  exit 1
fi

"$host_bin" --register "$driver_lib"
echo
echo "Streaming through the driver for $stream_seconds s (halvern-asio-host --stream):"
stream_status=0
"$host_bin" --stream --seconds "$stream_seconds" 2>/dev/null || stream_status=$?
if [ "$stream_status" -ne 0 ]; then
  echo "run.sh: the stream check FAILED (halvern-asio-host exit code $stream_status)." >&2
fi
# From here Ctrl+C is the normal end; the job's result is the stream check's.
trap 'exit "$stream_status"' INT

echo
"$sim_bin" ctl status
echo "halvern-bus-sim is running (pid $sim_pid); Ctrl+C stops it."
wait "$sim_pid" || true
sim_pid=
exit "$stream_status"
