#!/usr/bin/env bash
# HalvernMixer.exe under Wine, each part its own process against halvern-bus-sim.exe and the
# registered driver:
#   1. one panel at a time: a second start exits 0; after taskkill /f a new start runs;
#   2. a host's controlPanel call reaches the running panel, which brings its dialog up;
#   3. the dialog (wine-panel-user.exe) changes the buffer size from 256 to 64 and presses "OK":
#      the streaming host resets, comes back at 64 and loses, repeats and damages nothing;
#   4. a knob turned on the Wren page reaches the simulator's journal as its command.
#
#   panel-loop.sh --prefix DIR --build MINGW_BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/wine-env.sh
. "$here/../wine-env.sh"

prefix=
build=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || die "$1 needs a value"
  case "$1" in
    --prefix) prefix=$2 ;;
    --build) build=$2 ;;
    *) die "unknown option $1" ;;
  esac
  shift 2
done
panel=$build/panel/bin/HalvernMixer.exe
user=$build/tests/wine/panel/wine-panel-user.exe
sim=$build/sim/halvern-bus-sim.exe
host=$build/tools/asio-host/halvern-asio-host.exe
for f in "$panel" "$user" "$sim" "$host"; do
  [ -f "$f" ] || die "not built: $f (cmake --build --preset mingw)"
done
[ -f "$prefix/system.reg" ] || die "the Wine prefix $prefix does not exist"

find_wine
find_wineserver
wine_environment "$prefix"
# Without a device the driver and the panel take the simulator's pipe.
export HALVERN_USE_SIMULATOR=1
work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  "$WINE" taskkill /f /im HalvernMixer.exe >/dev/null 2>&1
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
verdict() {
  if [ "$?" -eq 0 ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    failures=$((failures + 1))
  fi
}
# until_true SECONDS COMMAND...: the command holds within the time.
until_true() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}
start_panel() {
  "$WINE" "$panel" -platform offscreen </dev/null >/dev/null 2>&1 &
  panel_pid=$!
  pids+=("$panel_pid")
}
alive() { kill -0 "$1" 2>/dev/null; }
sim_pid=
start_sim() {
  "$WINE" "$sim" --model wren --loopback "$@" </dev/null >"$work/sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  until_true 30 grep -q "ready on" "$work/sim.log" || die "the simulator did not start"
}
stop_sim() {
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
}
# The value of "key" in the host's JSON report (an array's items, comma-separated).
field() { grep -o "\"$2\":\\(\\[[^]]*\\]\\|[^,}]*\\)" <<<"$1" | head -n 1 | sed 's/^[^:]*://; s/[][]//g'; }

start_sim --buffer-size 256

# ---- 1. one panel at a time --------------------------------------------------------------
start_panel
first=$panel_pid
until_true 60 wine_process_running HalvernMixer.exe && sleep 3 && alive "$first"
verdict "the panel starts and stays"
timeout 60 "$WINE" "$panel" -platform offscreen </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ]
verdict "a second start exits with 0 (got $status)"
alive "$first"
verdict "the first panel runs on"
"$WINE" taskkill /f /im HalvernMixer.exe >/dev/null 2>&1
until_true 20 bash -c "! kill -0 $first 2>/dev/null"
verdict "taskkill /f ends the panel"
start_panel
sleep 5
alive "$panel_pid"
verdict "after the kill a new start runs (no stale single-instance segment)"

# ---- 2. the driver's control panel call -------------------------------------------------
# The driver reports ASE_OK only when a panel serves its pipe and took the request.
report=$(timeout 90 "$WINE" "$host" --stream --seconds 3 --control-panel --json 2>/dev/null | tr -d '\r')
result=$(field "$report" control_panel)
[ "$result" = 0 ]
verdict "the host's controlPanel returns ASE_OK with the panel running (got $result)"
"$WINE" taskkill /f /im HalvernMixer.exe >/dev/null 2>&1
wait "$panel_pid" 2>/dev/null

# ---- 3. a buffer size change from the dialog --------------------------------------------
# A machine stall costs a half whatever the driver does: a run with lost or damaged halves is
# tried again, up to three in all; a fault of the chain repeats in each.
for attempt in 1 2 3; do
  stop_sim
  start_sim --buffer-size 256
  "$WINE" "$user" -platform offscreen dialog bufferSizeCombo 256 64 </dev/null \
    >"$work/dialog.log" 2>/dev/null &
  dialog_pid=$!
  pids+=("$dialog_pid")
  until_true 60 grep -q "dialog ready" "$work/dialog.log" || break
  report=$(timeout 120 "$WINE" "$host" --stream --seconds 6 --control-panel --json 2>/dev/null |
    tr -d '\r')
  wait "$dialog_pid"
  dialog_status=$?
  echo "attempt $attempt: $report"
  [ "$(field "$report" lost)$(field "$report" repeated)$(field "$report" corrupted)" = 000 ] && break
done
tr -d '\r' <"$work/dialog.log"
# When every run lost halves and the machine itself woke a real-time thread a whole 64-sample
# period late just after, the loss is the machine's (as in sim/with-sim.sh).
stall_pass=0
if [ "$(field "$report" lost)$(field "$report" repeated)" != 00 ] && command -v cyclictest >/dev/null; then
  floor=$(cyclictest -m -p 10 -i 1333 -l 3750 -q 2>/dev/null |
    sed -n 's/.*Max: *\([0-9]*\).*/\1/p' | sort -n | tail -n 1)
  if [ -n "$floor" ] && [ "$floor" -ge 1333 ]; then
    echo "panel-loop.sh: every run lost halves, and the machine woke a real-time thread" \
      "$floor us late at a 1333 us period: the loss is the machine's"
    stall_pass=1
  fi
fi
[ "$dialog_status" -eq 0 ] && grep -q "dialog shown on top" "$work/dialog.log"
verdict "the host's control panel call brings the dialog up on top; it changes and presses OK"
[ "$(field "$report" control_panel)" = 0 ]
verdict "controlPanel returns ASE_OK"
# One reset when the device stops for the change, one for "OK", which finds it at 64 already.
[ "$(field "$report" reset_requests)" = 2 ] && [ "$(field "$report" resets)" = 2 ]
verdict "the host is asked to reset for the device's stop and once for OK, no more"
sizes=$(field "$report" segment_buffer_sizes)
[ "$sizes" = "256,64,64" ] && [ "$(field "$report" buffer_size)" = 64 ]
verdict "the host re-creates its buffers at 64 (streams at $sizes)"
for what in lost repeated corrupted; do
  count=$(field "$report" "$what")
  [ "$count" = 0 ] || { [ "$what" != corrupted ] && [ "$stall_pass" = 1 ]; }
  verdict "no $what halves beyond a stall of the machine (got $count)"
done

# ---- 4. a knob on the Wren page ---------------------------------------------------------
timeout 60 "$WINE" "$sim" ctl clear-journal >/dev/null 2>&1
timeout 60 "$WINE" "$user" -platform offscreen knob 25 </dev/null 2>/dev/null | grep -q "knob turned"
verdict "the Wren page comes up and its first gain knob turns"
# Microphone gain (0x07) of channel 1, twice the knob's 25 dB: 50, little-endian.
timeout 60 "$WINE" "$sim" ctl journal 2>/dev/null | tr -d '\r' |
  grep -q "IOCTL_DEVICE_SEND_COMMAND in\[37\]=01070002013200"
verdict "the simulator's journal has the gain command for channel 1 at 50"

[ $failures -eq 0 ] || die "$failures checks failed"
echo "panel loop: single instance, control panel, settings reset and knob all good"
