#!/usr/bin/env bash
# Panel benchmark: how long HalvernMixer takes from its start to the first mixer page, its
# resident memory after a while on a simulated Wren, and the time from a knob's change to the
# request at the interface (bench_knob_latency). Replaces the "Panel" section of
# docs/performance.md (or $BENCH_OUTPUT).
#
#   bash bench/panel/run.sh                 # 5 starts, memory after 60 s
#   BENCH_STARTS=10 BENCH_SECONDS=120 bash bench/panel/run.sh
#
# HALVERN_BUILD_DIR chooses the build folder (default build/linux). Everything runs in a
# private folder on the offscreen platform, so a running panel or main job is not touched.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${HALVERN_BUILD_DIR:-build/linux}
starts=${BENCH_STARTS:-5}
seconds=${BENCH_SECONDS:-60}
output=${BENCH_OUTPUT:-docs/performance.md}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux -B "$build" >/dev/null
fi
if ! build_log=$(cmake --build "$build" --target halvern-bus-sim HalvernMixer bench_knob_latency 2>&1); then
  echo "$build_log" >&2
  exit 1
fi
sim_bin=$build/sim/halvern-bus-sim
mixer_bin=$build/panel/HalvernMixer

work=$(mktemp -d /tmp/halvern-panel-bench.XXXXXX)
export HALVERN_RUNTIME_DIR=$work/runtime TMPDIR=$work/tmp XDG_DATA_HOME=$work/data
export QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{time process} %{message}'
mkdir -p "$TMPDIR" "$XDG_DATA_HOME"
sim_pid=
mixer_pid=
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  for pid in $mixer_pid $sim_pid; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# First, with no panel running: the knob's page has a simulator of its own, and a second panel
# polling the device and writing its log would only share the disk with the page's state file.
knobs=$("$build/bench/panel/bench_knob_latency" 1000 2>/dev/null | grep -v '^Open device')

"$sim_bin" --model wren >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  "$sim_bin" ctl status >/dev/null 2>&1 && break
  sleep 0.1
done

# Seconds since the process started at which `line` was written, from the panel's log.
time_of() { grep -m1 -F "$2" "$1" | awk '{print $1}'; }

first_page=()
pass=()
for i in $(seq "$starts"); do
  log=$work/start-$i.log
  "$mixer_bin" >"$log" 2>&1 &
  mixer_pid=$!
  for _ in $(seq 150); do
    grep -q "Adding wren widget to layout." "$log" && break
    sleep 0.1
  done
  page=$(time_of "$log" "Adding wren widget to layout.")
  probe=$(time_of "$log" "Device PID:")
  if [ -z "$page" ] || [ -z "$probe" ]; then
    echo "bench/panel: start $i showed no page (see $log)" >&2
    cat "$log" >&2
    exit 1
  fi
  first_page+=("$(awk -v t="$page" 'BEGIN {printf "%d", t * 1000}')")
  pass+=("$(awk -v a="$page" -v b="$probe" 'BEGIN {printf "%d", (a - b) * 1000}')")
  if [ "$i" -lt "$starts" ]; then
    kill -TERM "$mixer_pid"
    wait "$mixer_pid" 2>/dev/null || true
    mixer_pid=
  fi
done

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
page_ms=$(median "${first_page[@]}")
pass_ms=$(median "${pass[@]}")

sleep "$seconds"
rss_kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$mixer_pid/status")
hwm_kb=$(awk '/^VmHWM:/ {print $2}' "/proc/$mixer_pid/status")
rss_mb=$(awk -v k="$rss_kb" 'BEGIN {printf "%.1f", k / 1024}')
hwm_mb=$(awk -v k="$hwm_kb" 'BEGIN {printf "%.1f", k / 1024}')

section=$work/section.md
cat >"$section" <<MD
## Panel

Written by \`bash bench/panel/run.sh\` (BENCH_STARTS=$starts, BENCH_SECONDS=$seconds) on
$(date -u '+%Y-%m-%d %H:%M UTC'). HalvernMixer on the offscreen platform against a simulated Wren;
median of $starts starts.

| start to first page (ms) | of which the detection pass (ms) | resident after ${seconds} s (MB) | peak resident (MB) |
|---:|---:|---:|---:|
| $page_ms | $pass_ms | $rss_mb | $hwm_mb |

The first detection pass runs one second after start-up by design (the window's 1000 ms
detection timer), and the pass applies the stored audio settings before the page is built:
the engine stop and restart with the dialog's fixed 100 ms pauses and its 200 ms one-shot
steps. "Detection pass" is the time from the pass's first device answer to the page.

From a knob's value change (\`Knob::setValue\`) to the simulator's receipt of the request, a
Wren page against the in-process simulator, 1000 changes each due 1 ms apart (a mouse
reporting at 1000 Hz), each timed from when it was due, and the request each sends
(\`bench_knob_latency\`). A change waits for the handler of the one before: the request, then
the page's stored state written to its file (*handler*). *State file write*: that write alone
(\`QSettings::sync\`, which makes the file durable on the disk before it returns), 1000 times.
The page writes its state after every change, in the GUI thread, once the request has gone: a
change that is due while the one before is still being written waits for that write, so the
write's share of the 1 ms between changes decides the tail.

\`\`\`
$knobs
\`\`\`
MD

touch "$output"
# Keep everything before an earlier panel section and after it (up to the next "## ").
awk -v sec="$section" '
  /^## Panel$/ { skipping = 1; while ((getline l < sec) > 0) print l; printed = 1; next }
  skipping && /^## / { skipping = 0 }
  !skipping { print }
  END { if (!printed) { print ""; while ((getline l < sec) > 0) print l } }
' "$output" >"$work/out.md"
mv "$work/out.md" "$output"
cat "$section"
