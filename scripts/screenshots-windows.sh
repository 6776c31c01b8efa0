#!/usr/bin/env bash
# The README's pictures of the Windows panel: HalvernMixer.exe of the MinGW build under Wine, in a
# throw-away prefix, on a virtual display, against halvern-bus-sim.exe as a Wren. Writes
# docs/images/windows-main-window.png, windows-settings.png and windows-tray-menu.png.
# HALVERN_MINGW_BINARY_DIR chooses the build folder (default build/mingw).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# shellcheck source=scripts/virtual-display.sh
. scripts/virtual-display.sh
# shellcheck source=tests/wine/wine-env.sh
. tests/wine/wine-env.sh

build=${HALVERN_MINGW_BINARY_DIR:-build/mingw}
panel=$build/panel/bin/HalvernMixer.exe
sim=$build/sim/halvern-bus-sim.exe
for f in "$panel" "$sim"; do
  [ -f "$f" ] || die "not built: $f (cmake --preset mingw && cmake --build --preset mingw)"
done
out=docs/images
mkdir -p "$out"

work=$(mktemp -d /tmp/halvern-winshots.XXXXXX)
prefix=$work/prefix
pids=()
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  "$repo/tests/wine/wine-prefix.sh" cleanup "$prefix" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

tests/wine/wine-prefix.sh setup "$prefix" >/dev/null
find_wine
wine_environment "$prefix"
export HALVERN_USE_SIMULATOR=1

start_virtual_display "$work" || {
  cat "$work/xvfb.log" >&2
  die "the virtual display did not start"
}
pids+=("$xvfb_pid")
export DISPLAY=$virtual_display

"$WINE" "$sim" --model wren >"$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  grep -q "ready on" "$work/sim.log" && break
  sleep 0.1
done
grep -q "ready on" "$work/sim.log" || die "the simulator did not start"

# The panel writes its pictures once its page shows (HALVERN_MIXER_SNAPSHOT); the folder is a
# Unix path, which Wine reads on drive Z:.
mkdir -p "$work/shots"
HALVERN_MIXER_SNAPSHOT=$work/shots "$WINE" "$panel" >"$work/mixer.log" 2>&1 &
pids+=($!)
for _ in $(seq 900); do
  [ -f "$work/shots/tray-menu.png" ] && break
  sleep 0.1
done
[ -f "$work/shots/tray-menu.png" ] || {
  cat "$work/mixer.log" >&2
  die "the panel wrote no pictures"
}
sleep 1
cp "$work/shots/main-window.png" "$out/windows-main-window.png"
cp "$work/shots/settings.png" "$out/windows-settings.png"
cp "$work/shots/tray-menu.png" "$out/windows-tray-menu.png"
"$WINE" taskkill /f /im HalvernMixer.exe >/dev/null 2>&1 || true
ls -l "$out"/windows-*.png
