#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a simulated Wren that loops its outputs
# back to its inputs, registers the ASIO driver, starts the HalvernMixer panel (on the user's
# display, or under a virtual display with screenshots written to build/run/), streams through
# the driver with the console host and prints the report, then leaves panel and simulator
# running until Ctrl+C. HALVERN_BUILD_DIR chooses another build folder (default build/linux).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/virtual-display.sh
. scripts/virtual-display.sh
# shellcheck source=scripts/processes.sh
. scripts/processes.sh

build=${HALVERN_BUILD_DIR:-build/linux}
stream_seconds=${HALVERN_STREAM_SECONDS:-5}

bash scripts/setup.sh
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"

sim_bin=$build/sim/halvern-bus-sim
host_bin=$build/tools/asio-host/halvern-asio-host
driver_lib=$build/driver/HalvernASIO/libHalvernASIO.so
mixer_bin=$build/panel/HalvernMixer
run_dir=$build/run
mkdir -p "$run_dir"

if "$sim_bin" ctl status >/dev/null 2>&1; then
  echo "run.sh: a simulator already runs at index 0; stop it first (or Ctrl+C its run.sh)." >&2
  exit 1
fi

sim_pid=
mixer_pid=
xvfb_pid=
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  stop_process "$mixer_pid"
  stop_process "$xvfb_pid"
  stop_process "$sim_pid"
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

# The panel: on the user's display, or on a virtual one that nobody sees, with screenshots.
mixer_env=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  if ! start_virtual_display "$run_dir"; then
    echo "run.sh: the virtual display did not start (see $run_dir/xvfb.log)." >&2
    exit 1
  fi
  mixer_env=(DISPLAY="$virtual_display" QT_QPA_PLATFORM=xcb
             HALVERN_MIXER_SNAPSHOT="$run_dir")
  rm -f "$run_dir"/main-window.png "$run_dir"/settings.png "$run_dir"/tray-menu.png
fi
env "${mixer_env[@]}" "$mixer_bin" >"$run_dir/mixer.log" 2>&1 &
mixer_pid=$!
# The panel applies its stored settings when it finds the interface (the engine stops and
# restarts); the stream starts after that.
found=0
for _ in $(seq 150); do
  if ! kill -0 "$mixer_pid" 2>/dev/null; then
    echo "run.sh: HalvernMixer ended (see $run_dir/mixer.log)." >&2
    exit 1
  fi
  if grep -q "Device found with PID:" "$run_dir/mixer.log"; then
    found=1
    break
  fi
  sleep 0.1
done
if [ "$found" -ne 1 ]; then
  echo "run.sh: HalvernMixer did not find the interface in 15 s (see $run_dir/mixer.log)." >&2
  exit 1
fi
# The stored settings end with the engine initialised again ("设置初始化完成"), some 200 ms
# steps after the page; bounded, the stream check tells if it never came.
for _ in $(seq 50); do
  grep -q "设置初始化完成" "$run_dir/mixer.log" && break
  sleep 0.1
done
echo "HalvernMixer shows the Wren page (pid $mixer_pid, log $run_dir/mixer.log)."
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
if [ -n "$xvfb_pid" ]; then
  for _ in $(seq 100); do
    [ -f "$run_dir/tray-menu.png" ] && break
    sleep 0.1
  done
  echo "No display here: the panel runs on a virtual one. Screenshots:"
  for f in main-window settings tray-menu; do
    [ -f "$run_dir/$f.png" ] && echo "  $run_dir/$f.png"
  done
fi
echo "halvern-bus-sim (pid $sim_pid) and HalvernMixer (pid $mixer_pid) are running;" \
  "Ctrl+C stops both."
wait "$sim_pid" || true
sim_pid=
exit "$stream_status"
