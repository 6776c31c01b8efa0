#!/usr/bin/env bash
# The README's pictures, from real runs: HalvernMixer on a virtual display against a simulated
# Tern, Wren and Kite. Writes docs/images/mixer-<model>.png, settings.png and tray-menu.png.
# HALVERN_BUILD_DIR chooses the build folder (default build/linux).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/virtual-display.sh
. scripts/virtual-display.sh

build=${HALVERN_BUILD_DIR:-build/linux}
out=docs/images
cmake --build "$build" --target halvern-bus-sim HalvernMixer >/dev/null
sim_bin=$build/sim/halvern-bus-sim
mixer_bin=$build/panel/HalvernMixer
mkdir -p "$out"

work=$(mktemp -d /tmp/halvern-shots.XXXXXX)
pids=()
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

display_up=1
start_virtual_display "$work" || display_up=0
pids+=("$xvfb_pid")
if [ "$display_up" -ne 1 ]; then
  echo "screenshots: the virtual display did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY="$virtual_display" QT_QPA_PLATFORM=xcb

for model in tern wren kite; do
  dir=$work/$model
  mkdir -p "$dir/tmp" "$dir/data"
  export HALVERN_RUNTIME_DIR=$dir/runtime TMPDIR=$dir/tmp XDG_DATA_HOME=$dir/data
  "$sim_bin" --model "$model" >"$dir/sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 100); do
    "$sim_bin" ctl status >/dev/null 2>&1 && break
    sleep 0.1
  done
  # The Wren's level bars at both ends: MIC1 hears a full-scale tone (its clip mark lights),
  # MIC2 a quiet one.
  if [ "$model" = wren ]; then
    "$sim_bin" ctl signal 0 tone 0 >/dev/null
    "$sim_bin" ctl signal 1 tone -40 >/dev/null
  fi
  HALVERN_MIXER_SNAPSHOT=$dir "$mixer_bin" >"$dir/mixer.log" 2>&1 &
  mixer_pid=$!
  pids+=("$mixer_pid")
  for _ in $(seq 150); do
    [ -f "$dir/tray-menu.png" ] && break
    sleep 0.1
  done
  if [ ! -f "$dir/tray-menu.png" ] || ! grep -q "Device found with PID" "$dir/mixer.log"; then
    echo "screenshots: no page for $model (see the log below)" >&2
    cat "$dir/mixer.log" >&2
    exit 1
  fi
  cp "$dir/main-window.png" "$out/mixer-$model.png"
  if [ "$model" = wren ]; then
    cp "$dir/settings.png" "$out/settings.png"
    cp "$dir/tray-menu.png" "$out/tray-menu.png"
  fi
  kill -TERM "$mixer_pid" "$sim_pid" 2>/dev/null || true
  wait "$mixer_pid" "$sim_pid" 2>/dev/null || true
done
ls -l "$out"
