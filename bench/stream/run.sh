#!/usr/bin/env bash
# Stream benchmark: the machine's own floor (cyclictest), then halvern-asio-host streaming
# through the driver and a simulated Wren in loopback at 32, 48, 64 and 256 samples at 48000 Hz.
# Writes the table to docs/performance.md (or $BENCH_OUTPUT).
#
#   bash bench/stream/run.sh            # 10 s per buffer size
#   BENCH_SECONDS=30 bash bench/stream/run.sh
#
# HALVERN_BUILD_DIR chooses the build folder (default build/linux); it is built when needed.
# The simulator and the registry live in a private folder, so a running main job is not touched.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${HALVERN_BUILD_DIR:-build/linux}
seconds=${BENCH_SECONDS:-10}
output=${BENCH_OUTPUT:-docs/performance.md}
read -r -a sizes <<<"${BENCH_SIZES:-32 48 64 256}"
rate=48000
cyclic_loops=$((seconds * 1000))

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux -B "$build" >/dev/null
fi
if ! build_log=$(cmake --build "$build" --target halvern-bus-sim halvern-asio-host HalvernASIO 2>&1); then
  echo "$build_log" >&2
  exit 1
fi

sim_bin=$build/sim/halvern-bus-sim
host_bin=$build/tools/asio-host/halvern-asio-host
driver_lib=$build/driver/HalvernASIO/libHalvernASIO.so

work=$(mktemp -d /tmp/halvern-bench.XXXXXX)
export HALVERN_RUNTIME_DIR=$work/runtime
export HALVERN_REGISTRY=$work/registry.reg
sim_pid=

# shellcheck disable=SC2317  # called through the EXIT trap and between runs
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
# shellcheck disable=SC2317
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One value from the host's one-line JSON report: json_get JSON [OBJECT] KEY.
json_get() {
  local json=$1 scope=$1 key
  if [ $# -eq 3 ]; then
    scope=$(grep -o "\"$2\":{[^}]*}" <<<"$json" || true)
    key=$3
  else
    key=$2
  fi
  grep -o "\"$key\":[^,}]*" <<<"$scope" | head -n1 | cut -d: -f2
}

start_sim() {
  "$sim_bin" --model wren --loopback --rate "$rate" --buffer-size "$1" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    if "$sim_bin" ctl status >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  echo "bench: halvern-bus-sim did not become ready:" >&2
  cat "$work/sim.log" >&2
  return 1
}

# --- The floor: how late this machine wakes a real-time thread with nothing else of ours -----
cyclic_cmd=(cyclictest -m -p 80 -i 1000 -l "$cyclic_loops" -q)
cyclic_note="SCHED_FIFO priority 80, memory locked"
if ! command -v cyclictest >/dev/null; then
  cyclic_out=""
  cyclic_note="cyclictest is not installed (rt-tests)"
else
  echo "bench: ${cyclic_cmd[*]}"
  if ! cyclic_out=$("${cyclic_cmd[@]}" 2>&1) || ! grep -q "Max:" <<<"$cyclic_out"; then
    # Without the right to real-time scheduling, measure at normal priority rather than not at all.
    cyclic_cmd=(cyclictest -i 1000 -l "$cyclic_loops" -q)
    cyclic_note="normal priority: real-time scheduling was refused"
    echo "bench: refused; ${cyclic_cmd[*]}"
    cyclic_out=$("${cyclic_cmd[@]}" 2>&1) || true
  fi
fi
cyc_min=$(grep -o "Min: *[0-9]*" <<<"$cyclic_out" | head -n1 | grep -o "[0-9]*$" || true)
cyc_avg=$(grep -o "Avg: *[0-9]*" <<<"$cyclic_out" | head -n1 | grep -o "[0-9]*$" || true)
cyc_max=$(grep -o "Max: *[0-9]*" <<<"$cyclic_out" | head -n1 | grep -o "[0-9]*$" || true)

# --- The host at each buffer size ---------------------------------------------------------------
mkdir -p "$HALVERN_RUNTIME_DIR"
"$host_bin" --register "$driver_lib" >/dev/null
rows=()
stalls=()
for size in "${sizes[@]}"; do
  start_sim "$size"
  echo "bench: halvern-asio-host --stream --seconds $seconds --json   ($size samples)"
  status=0
  json=$("$host_bin" --stream --seconds "$seconds" --json 2>/dev/null) || status=$?
  stop_sim
  if [ -z "$json" ]; then
    rows+=("| $size | | | | | | | | | | the host gave no report (exit $status) |")
    continue
  fi
  period=$(awk -v n="$size" -v r="$rate" 'BEGIN { printf "%.3f", n * 1000 / r }')
  # A wake-up later than about one period leaves the host too little time to fill the half the
  # device reads next: the floor alone can cost audio at this size.
  if [ -n "${cyc_max:-}" ] && awk -v m="$cyc_max" -v p="$period" 'BEGIN { exit !(m > p * 1000) }'; then
    stalls+=("$size")
  fi
  latency="$(json_get "$json" latency_us p50) / $(json_get "$json" latency_us p99) / $(json_get "$json" latency_us max)"
  [ "$(json_get "$json" latency_us available)" = "true" ] || latency="unavailable"
  result=$([ "$status" -eq 0 ] && echo pass || echo "FAIL (exit $status)")
  rows+=("| $size | $period | $(json_get "$json" switches) | $(json_get "$json" lost) | $(json_get "$json" repeated) | $(json_get "$json" corrupted) | $(json_get "$json" missed) | $latency | $(json_get "$json" period_us jitter) | $(json_get "$json" callback_us mean) / $(json_get "$json" callback_us max) | $result |")
  echo "bench: ${rows[-1]}"
done

# --- The host's buffer switch on its own (Google Benchmark), when it was built ------------------
switch_out=""
if cmake --build "$build" --target bench_host_switch >/dev/null 2>&1 &&
  [ -x "$build/bench/stream/bench_host_switch" ]; then
  echo "bench: bench_host_switch"
  switch_out=$("$build/bench/stream/bench_host_switch" --benchmark_min_time=0.5 2>/dev/null |
    grep "^HostSwitch" || true)
fi

# --- The page -----------------------------------------------------------------------------------
cpu=$(grep -m1 "model name" /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ *//' || true)
# The panel's section (bench/panel/run.sh) is kept as it stands.
panel_section=""
if [ -f "$output" ]; then
  panel_section=$(awk '/^## Panel$/ {p = 1} p && /^## / && !/^## Panel$/ {p = 0} p' "$output")
fi
{
  echo "# Performance"
  echo
  echo "Written by \`bash bench/stream/run.sh\` (BENCH_SECONDS=$seconds) on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo "Figures from one run on one machine; compare rows with each other and with the floor of"
  echo "the same run, not with other machines."
  echo
  echo "## Machine"
  echo
  echo "- processors: $(nproc) (${cpu:-unknown model})"
  echo "- kernel: $(uname -srv)"
  echo "- load average at the end of the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "## Floor: cyclictest"
  echo
  echo "How late this machine wakes a real-time thread on a 1 ms timer, with none of our code"
  echo "running: the best any audio thread here can do."
  echo
  echo "    ${cyclic_cmd[*]}"
  echo
  echo "$cyclic_note."
  echo
  echo "| min (µs) | avg (µs) | max (µs) |"
  echo "|---:|---:|---:|"
  echo "| ${cyc_min:-n/a} | ${cyc_avg:-n/a} | ${cyc_max:-n/a} |"
  echo
  echo "## Streaming through the driver"
  echo
  echo "For each buffer size a simulated Wren (12 inputs, 14 outputs) runs in loopback at $rate Hz,"
  echo "and the console host streams through the driver library for $seconds s, playing a pattern"
  echo "on every output and checking every half-buffer that comes back on the 12 looped inputs:"
  echo
  echo "    halvern-bus-sim --model wren --loopback --rate $rate --buffer-size N"
  echo "    halvern-asio-host --stream --seconds $seconds --json"
  echo
  echo "| buffer (samples) | period (ms) | switches | lost | repeated | corrupted | missed | latency p50 / p99 / max (µs) | jitter (µs) | callback mean / max (µs) | result |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "- *switches*: buffer switches the host received; *lost*, *repeated*, *corrupted*: half-buffers"
  echo "  that came back missing, not advanced, or damaged; *missed*: device signals the host got no"
  echo "  switch for."
  echo "- *latency*: from the simulated device's signal (its clock thread, \`CLOCK_MONOTONIC\`) to the"
  echo "  start of the host's callback: the driver's audio thread waking and calling the host."
  echo "  Compare it with the cyclictest floor above. A switch is matched to the newest signal for"
  echo "  its half, so one that comes whole periods late shows as missed periods, not as latency."
  if [ ${#stalls[@]} -gt 0 ]; then
    echo "- The floor's worst wake-up (${cyc_max} µs) is longer than the period at ${stalls[*]} samples:"
    echo "  a stall that long costs a half-buffer whatever the driver does, so losses at those sizes"
    echo "  in this run say more about the machine than about the driver. Compare the latency"
    echo "  columns with the floor instead."
  fi
  echo "- *jitter*: standard deviation of the intervals between callbacks; *callback*: time spent in"
  echo "  the host's buffer switch (checking 12 inputs, writing 14 outputs)."
  if [ -n "$switch_out" ]; then
    echo
    echo "## The host's buffer switch alone"
    echo
    echo "The same work outside the stream, in a loop (\`bench_host_switch\`, Google Benchmark): the"
    echo "share of the callback time above that is the host's own checking, not the driver's."
    echo
    echo '```'
    echo "$switch_out"
    echo '```'
  fi
  if [ -n "$panel_section" ]; then
    echo
    echo "$panel_section"
  fi
} >"$output"
echo "bench: wrote $output"
