#!/usr/bin/env bash
# Stream benchmark, in one run: for each buffer size (32, 48, 64 and 256 samples at 48000 Hz),
# the machine's own floor (cyclictest at the same period), then halvern-asio-host streaming
# through the driver and a simulated Wren in loopback, then (when jackd is installed) the same
# stream again with JACK's dummy driver running beside it at the same period. Then the cost of
# one buffer switch in the driver, in instructions (callgrind), at 2, 16 and 32 channels.
# Writes the tables to docs/performance.md (or $BENCH_OUTPUT), keeping the other sections.
#
#   bash bench/stream/run.sh            # 10 s per measurement
#   BENCH_SECONDS=30 bash bench/stream/run.sh
#   BENCH_WINE_SECONDS=10 bash bench/stream/run.sh   # the Wine rows' seconds (default 30)
#
# HALVERN_BUILD_DIR chooses the build folder (default build/linux); it is built when needed.
# The simulator and the registry live in a private folder, so a running main job is not touched.
# When bench/stream/wine.sh and a MinGW build (HALVERN_MINGW_BUILD_DIR, default build/mingw) are
# present, its rows go into a table of their own.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/processes.sh
. scripts/processes.sh
# shellcheck source=bench/stream/json_get.sh
. bench/stream/json_get.sh

build=${HALVERN_BUILD_DIR:-build/linux}
mingw_build=${HALVERN_MINGW_BUILD_DIR:-build/mingw}
seconds=${BENCH_SECONDS:-10}
# Longer under Wine: its floor and stream run one after the other, and a p99 of ten seconds at
# 256 samples rests on the 19 latest of 1,875 wake-ups, which one stall of the machine moves.
wine_seconds=${BENCH_WINE_SECONDS:-30}
output=${BENCH_OUTPUT:-docs/performance.md}
read -r -a sizes <<<"${BENCH_SIZES:-32 48 64 256}"
read -r -a switch_channels <<<"${BENCH_SWITCH_CHANNELS:-2 16 32}"
rate=48000
hist_us=20000 # cyclictest's histogram range; later wake-ups count as overflows

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux -B "$build" >/dev/null
fi
if ! build_log=$(cmake --build "$build" --target halvern-bus-sim halvern-asio-host HalvernASIO \
  bench_wide_device bench_cross_cpu_wake 2>&1); then
  echo "$build_log" >&2
  exit 1
fi

sim_bin=$build/sim/halvern-bus-sim
host_bin=$build/tools/asio-host/halvern-asio-host
driver_lib=$build/driver/HalvernASIO/libHalvernASIO.so
wide_bin=$build/bench/stream/bench_wide_device
wake_bin=$build/bench/stream/bench_cross_cpu_wake

work=$(mktemp -d /tmp/halvern-bench.XXXXXX)
export HALVERN_RUNTIME_DIR=$work/runtime
export HALVERN_REGISTRY=$work/registry.reg
sim_pid=
jack_pid=

# shellcheck disable=SC2317  # called through the EXIT trap and between runs
stop_sim() {
  stop_process "$sim_pid"
  sim_pid=
}
# shellcheck disable=SC2317
cleanup() {
  stop_process "$jack_pid"
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM


# Waits until a device serves its socket: the simulator daemon or the wide device.
wait_ready() {
  local pid=$1 log=$2
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    if grep -q "ready" "$log" 2>/dev/null && [ -S "$HALVERN_RUNTIME_DIR/bus/HalvernAudioBus0" ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "bench: the device did not become ready:" >&2
  cat "$log" >&2
  return 1
}

start_sim() {
  "$sim_bin" --model wren --loopback --rate "$rate" --buffer-size "$1" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  wait_ready "$sim_pid" "$work/sim.log"
}

# ratio OURS FLOOR: how many times the floor, one decimal.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a == "" || b == "" || a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b + 0 == 0) print "n/a";
    else printf "%.1f", a / b }'
}

# p50 p99 max late: from a cyclictest histogram file; late counts wake-ups a period or more late.
hist_figures() {
  awk -v period="$2" '
    /^# Histogram Overflows:/ { over = $4 + 0 }
    /^# Max Latencies:/ { max = $4 + 0 }
    /^[0-9]+[ \t]+[0-9]+/ { n[$1 + 0] = $2 + 0; total += $2; if ($1 + 0 >= period) late += $2 }
    END {
      total += over; late += over
      if (total == 0) { print "n/a n/a n/a n/a"; exit }
      c = 0; p50 = ""; p99 = ""
      for (l = 0; l < '"$hist_us"'; l++) {
        c += n[l]
        if (p50 == "" && c >= 0.5 * total) p50 = l
        if (p99 == "" && c >= 0.99 * total) p99 = l
      }
      if (p50 == "") p50 = ">" '"$hist_us"'
      if (p99 == "") p99 = ">" '"$hist_us"'
      print p50, p99, max + 0, late + 0
    }' "$1"
}

# --- The floor at one period: cyclictest, real-time if allowed -----------------------------------
cyclic_note=""
run_cyclictest() {
  local interval=$1 loops=$2 hist=$3
  local cmd=(cyclictest -m -p 80 -i "$interval" -l "$loops" -q -h "$hist_us" --histfile="$hist")
  if "${cmd[@]}" >/dev/null 2>&1 && grep -q "Max Latencies" "$hist"; then
    cyclic_note="SCHED_FIFO priority 80, memory locked"
    return 0
  fi
  # Without the right to real-time scheduling, measure at normal priority rather than not at all.
  cyclictest -i "$interval" -l "$loops" -q -h "$hist_us" --histfile="$hist" >/dev/null 2>&1 || true
  cyclic_note="normal priority: real-time scheduling was refused"
}

# --- JACK's dummy driver beside the stream, at the same period ---------------------------------
jack_available=0
if command -v jackd >/dev/null; then
  jack_available=1
fi
start_jack() {
  # Real-time where allowed: the peer competes for the processor as it would in a studio.
  local flags
  for flags in -R -r; do
    jackd "$flags" -n "halvern-bench-$$" -d dummy -r "$rate" -p "$1" >"$work/jack.log" 2>&1 &
    jack_pid=$!
    sleep 1
    kill -0 "$jack_pid" 2>/dev/null && return 0
    wait "$jack_pid" 2>/dev/null || true
    jack_pid=
  done
  return 1
}

# --- Per buffer size -----------------------------------------------------------------------------
mkdir -p "$HALVERN_RUNTIME_DIR"
"$host_bin" --register "$driver_lib" >/dev/null
rows=()
floor_rows=()
for size in "${sizes[@]}"; do
  period_us=$(awk -v n="$size" -v r="$rate" 'BEGIN { printf "%.0f", n * 1e6 / r }')
  period_ms=$(awk -v n="$size" -v r="$rate" 'BEGIN { printf "%.3f", n * 1000 / r }')
  loops=$(awk -v s="$seconds" -v p="$period_us" 'BEGIN { printf "%d", s * 1e6 / p }')

  cyc="n/a n/a n/a n/a"
  if command -v cyclictest >/dev/null; then
    echo "bench: cyclictest -i $period_us -l $loops   ($size samples)"
    run_cyclictest "$period_us" "$loops" "$work/hist-$size"
    [ -s "$work/hist-$size" ] && cyc=$(hist_figures "$work/hist-$size" "$period_us")
  else
    cyclic_note="cyclictest is not installed (rt-tests)"
  fi
  read -r c50 c99 cmax clate <<<"$cyc"

  # One eventfd wake-up at this period, waker and waiter on one processor, then on two.
  echo "bench: bench_cross_cpu_wake $period_us   ($size samples)"
  wake=$("$wake_bin" "$period_us" "$seconds" 2>/dev/null |
    awk '{ for (i = 1; i <= NF; i++) if ($i == "p99") v[NR] = $(i + 1) }
      END { printf "%s / %s", (v[1] == "" ? "n/a" : v[1]), (v[2] == "" ? "n/a" : v[2]) }')

  start_sim "$size"
  echo "bench: halvern-asio-host --stream --seconds $seconds --json   ($size samples)"
  status=0
  json=$("$host_bin" --stream --seconds "$seconds" --json 2>/dev/null) || status=$?
  stop_sim

  jack_cell="not available"
  jack_xruns="n/a"
  if [ "$jack_available" -eq 1 ]; then
    start_sim "$size"
    if start_jack "$size"; then
      echo "bench: halvern-asio-host beside jackd -d dummy -p $size   ($size samples)"
      jjson=$("$host_bin" --stream --seconds "$seconds" --json 2>/dev/null) || true
      stop_process "$jack_pid"
      jack_pid=
      # The dummy driver reports each cycle it started late, with how late.
      jack_xruns=$(awk '/XRun = [0-9]+ usec/ { n++; v = $(NF - 1) + 0; if (v > m) m = v }
        END { if (n) printf "%d (max %d µs)", n, m; else print 0 }' "$work/jack.log")
      if [ -n "$jjson" ] && [ "$(json_get "$jjson" latency_us available)" = "true" ]; then
        jack_cell="$(json_get "$jjson" latency_us p50) / $(json_get "$jjson" latency_us p99) / $(json_get "$jjson" latency_us max), missed $(json_get "$jjson" missed)"
      else
        jack_cell="no report"
      fi
    else
      jack_cell="jackd did not start"
    fi
    stop_sim
  fi

  if [ -z "$json" ]; then
    rows+=("| $size | $period_ms | | | | | | | | | the host gave no report (exit $status) |")
    floor_rows+=("| $size | $period_us | $c50 / $c99 / $cmax | $clate | $wake | (no report) | | | $jack_cell | $jack_xruns |")
    continue
  fi
  o50=$(json_get "$json" latency_us p50)
  o99=$(json_get "$json" latency_us p99)
  omax=$(json_get "$json" latency_us max)
  latency="$o50 / $o99 / $omax"
  [ "$(json_get "$json" latency_us available)" = "true" ] || latency="unavailable"
  result=$([ "$status" -eq 0 ] && echo pass || echo "FAIL (exit $status)")
  rows+=("| $size | $period_ms | $(json_get "$json" switches) | $(json_get "$json" lost) | $(json_get "$json" repeated) | $(json_get "$json" corrupted) | $(json_get "$json" missed) | $latency | $(json_get "$json" period_us jitter) | $(json_get "$json" callback_us mean) / $(json_get "$json" callback_us max) | $result |")
  floor_rows+=("| $size | $period_us | $c50 / $c99 / $cmax | $clate | $wake | $latency | $(json_get "$json" missed) / $(json_get "$json" lost) | $(ratio "$o50" "$c50") / $(ratio "$o99" "$c99") / $(ratio "$omax" "$cmax") | $jack_cell | $jack_xruns |")
  echo "bench: ${floor_rows[-1]}"
done

# --- One buffer switch in the driver, in instructions ---------------------------------------------
# The host runs under callgrind with collection on only in the driver's audio thread; a device
# with the channel count asked for (inputs = outputs = half) runs outside valgrind. The driver's
# share is the audio thread's instructions minus those of the host's callback, per switch.
switch_rows=()
switch_note=""
if ! command -v valgrind >/dev/null || ! command -v callgrind_annotate >/dev/null; then
  switch_note="valgrind (callgrind) is not installed: not measured."
else
  for ch in "${switch_channels[@]}"; do
    half=$((ch / 2))
    "$wide_bin" "$half" "$half" 256 >"$work/wide.log" 2>&1 &
    sim_pid=$!
    wait_ready "$sim_pid" "$work/wide.log"
    echo "bench: callgrind halvern-asio-host --stream --channels $half   ($ch channels)"
    cg=$work/callgrind-$ch.out
    cjson=$(valgrind --tool=callgrind --collect-atstart=no \
      --toggle-collect='halvern::driver::DriverCore::audioThreadMain*' \
      --callgrind-out-file="$cg" "$host_bin" --stream --seconds 4 --channels "$half" --json \
      2>/dev/null) || true
    stop_sim
    switches=$(json_get "$cjson" switches)
    if [ ! -s "$cg" ] || [ -z "$switches" ] || [ "$switches" -eq 0 ]; then
      switch_rows+=("| $ch | no measurement | | | |")
      continue
    fi
    # Inclusive instructions of the thread, the driver's switch function and the host's callback
    # (the largest of a function's entries: callgrind lists inlined parts apart).
    read -r thread_ir switch_ir host_ir <<<"$(callgrind_annotate --inclusive=yes "$cg" 2>/dev/null |
      awk '
        function ir(s) { gsub(",", "", s); return s + 0 }
        /^ *[0-9,]+ .*DriverCore::audioThreadMain\(void\*\)/ { v = ir($1); if (v > t) t = v }
        /^ *[0-9,]+ .*DriverCore::bufferSwitch\(/ { v = ir($1); if (v > s) s = v }
        /^ *[0-9,]+ .*host::.*bufferSwitch(TimeInfo)?\(/ { v = ir($1); if (v > h) h = v }
        END { print t + 0, s + 0, h + 0 }')"
    per() { awk -v a="$1" -v b="$2" -v n="$switches" 'BEGIN { printf "%.0f", (a - b) / n }'; }
    switch_rows+=("| $ch | $switches | $(per "$switch_ir" "$host_ir") | $(per "$thread_ir" "$host_ir") | $(per "$host_ir" 0) |")
    echo "bench: ${switch_rows[-1]}"
  done
fi

# --- The Windows DLL under Wine, when that bench and a MinGW build exist --------------------------
wine_rows=()
wine_pinned_rows=()
wine_table_head() {
  echo "| buffer (samples) | period (ms) | Wine floor p50 / p99 / max (µs) | floor late ≥ 1 period / unseen | switches | lost | repeated | corrupted | missed | latency p50 / p99 / max (µs) | ours / floor p99 | jitter (µs) | callback mean / max (µs) | result |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
}
# Fills the array named first with the rows of one run of wine.sh; a second argument keeps that
# run on the processors it lists.
read_wine_rows() {
  local -n into=$1
  local line
  while IFS= read -r line; do
    [[ $line == \|* ]] && into+=("$line")
  done < <(HALVERN_MINGW_BUILD_DIR=$mingw_build BENCH_SECONDS=$wine_seconds \
    BENCH_WINE_CPUS=${2:-} bash bench/stream/wine.sh 2>/dev/null || true)
}
if [ -f bench/stream/wine.sh ] && [ -d "$mingw_build" ]; then
  echo "bench: bench/stream/wine.sh"
  read_wine_rows wine_rows
  echo "bench: BENCH_WINE_CPUS=0 bash bench/stream/wine.sh"
  read_wine_rows wine_pinned_rows 0
fi

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
# Sections this script does not write (the panel's, from bench/panel/run.sh, and any other) are
# kept as they stand, in their order, after ours.
ours='^## (Machine|Floor: cyclictest|Against the floor, in one run|Streaming through the driver|Windows DLL under Wine|One buffer switch in the driver|The host.s buffer switch alone)$'
kept=""
if [ -f "$output" ]; then
  kept=$(awk -v ours="$ours" '/^## / { p = ($0 !~ ours) } p' "$output")
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
  echo "## Against the floor, in one run"
  echo
  echo "For each buffer size, back to back for $seconds s each: \`cyclictest\` waking a real-time"
  echo "thread at the same period (the best any audio thread on this machine can do), then the"
  if [ "$jack_available" -eq 1 ]; then
    echo "console host streaming through the driver from a simulated Wren in loopback,"
    echo "then the same stream with JACK's dummy driver running beside it at the same period."
  else
    echo "console host streaming through the driver from a simulated Wren in loopback"
    echo "(JACK's dummy driver as a peer at the same period: \`jackd\` is not installed, so that"
    echo "run was not available)."
  fi
  echo
  echo "    cyclictest -m -p 80 -i PERIOD_US -l LOOPS -q -h $hist_us --histfile=FILE"
  echo "    bench_cross_cpu_wake PERIOD_US $seconds"
  echo "    halvern-bus-sim --model wren --loopback --rate $rate --buffer-size N"
  echo "    halvern-asio-host --stream --seconds $seconds --json"
  [ "$jack_available" -eq 1 ] && echo "    jackd -R -d dummy -r $rate -p N"
  echo
  echo "cyclictest: ${cyclic_note:-not run}."
  echo
  echo "| buffer (samples) | period (µs) | cyclictest p50 / p99 / max (µs) | cyclictest late ≥ 1 period | one wake-up p99, same / two processors (µs) | ours p50 / p99 / max (µs) | ours missed periods / lost halves | ours / cyclictest p50 / p99 / max | ours beside JACK dummy p50 / p99 / max (µs) | JACK xruns |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${floor_rows[@]}"
  echo
  echo "- *cyclictest*: how late the timer thread woke, from its histogram; *late ≥ 1 period*:"
  echo "  wake-ups at least one period late, each of which would cost an audio thread a period."
  echo "- *one wake-up*: a real-time thread setting an eventfd once a period for another that waits"
  echo "  in poll, both on one processor, then on two: what an inter-processor wake-up adds here."
  echo "  The simulated device's clock and the driver's audio thread share one processor for it."
  echo "- *ours*: from the simulated device's signal (its clock thread, \`CLOCK_MONOTONIC\`) to the"
  echo "  start of the host's callback: the driver's audio thread waking and calling the host."
  echo "  *missed periods*: device signals the host got no switch for."
  echo "- *ours / cyclictest*: the driver's wake-up over the machine's, per column (1.0 is the floor)."
  if [ "$jack_available" -eq 1 ]; then
    echo "- *beside JACK dummy*: the same stream while \`jackd\` runs its dummy driver at the same"
    echo "  period (real-time where allowed); *JACK xruns*: the cycles jackd reported starting late."
  fi
  echo
  echo "## Streaming through the driver"
  echo
  echo "The host's own report of the streams above: every output plays a pattern and every"
  echo "half-buffer that comes back on the 12 looped inputs is checked."
  echo
  echo "| buffer (samples) | period (ms) | switches | lost | repeated | corrupted | missed | latency p50 / p99 / max (µs) | jitter (µs) | callback mean / max (µs) | result |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "- *switches*: buffer switches the host received; *lost*, *repeated*, *corrupted*: half-buffers"
  echo "  that came back missing, not advanced, or damaged; *missed*: device signals the host got no"
  echo "  switch for. A switch is matched to the newest signal for its half, so one that comes whole"
  echo "  periods late shows as missed periods, not as latency."
  echo "- *jitter*: standard deviation of the intervals between callbacks; *callback*: time spent in"
  echo "  the host's buffer switch (checking 12 inputs, writing 14 outputs)."
  if [ ${#wine_rows[@]} -gt 0 ]; then
    echo
    echo "## Windows DLL under Wine"
    echo
    echo "The same stream through \`HalvernASIO.dll\` (MinGW build in \`$mingw_build\`) under Wine,"
    echo "from \`bench/stream/wine.sh\`, $wine_seconds s per size, beside the floor of the same period"
    echo "under Wine: before each stream, \`halvern-wake-floor.exe PERIOD_US $wine_seconds\` (one process"
    echo "sets an event once a period, another waits for it, both at the priorities the driver asks"
    echo "for). *ours / floor p99*: the stream's wake-up p99 over the floor's (1.0 is the floor)."
    echo
    wine_table_head
    printf '%s\n' "${wine_rows[@]}"
    if [ ${#wine_pinned_rows[@]} -gt 0 ]; then
      echo
      echo "The same again with every process of the run on processor 0 (\`BENCH_WINE_CPUS=0\`, the"
      echo "wineserver included), as the Linux build keeps the device's clock and the audio thread:"
      echo
      wine_table_head
      printf '%s\n' "${wine_pinned_rows[@]}"
    fi
  fi
  echo
  echo "## One buffer switch in the driver"
  echo
  echo "Instructions per buffer switch, counted by callgrind in the driver's audio thread while the"
  echo "host streams 4 s at 256 samples from a device with the channels given (half inputs, half"
  echo "outputs; \`bench_wide_device\`, outside valgrind). The driver hands the host the same two"
  echo "areas whatever the channel count, so its share should not grow with the channels."
  echo
  echo "    bench_wide_device N/2 N/2 256"
  echo "    valgrind --tool=callgrind --collect-atstart=no \\"
  echo "      --toggle-collect='halvern::driver::DriverCore::audioThreadMain*' \\"
  echo "      halvern-asio-host --stream --seconds 4 --channels N/2 --json"
  echo
  if [ -n "$switch_note" ]; then
    echo "$switch_note"
  else
    echo "| channels | switches | driver's switch (instructions) | audio thread per period, without the host (instructions) | host's callback (instructions) |"
    echo "|---:|---:|---:|---:|---:|"
    printf '%s\n' "${switch_rows[@]}"
    echo
    echo "- *driver's switch*: \`DriverCore::bufferSwitch\` without the host's callback it calls."
    echo "- *audio thread per period*: everything the driver's thread runs per switch in user space"
    echo "  (the wait for the device's events, the switch, the thread's start and end spread over"
    echo "  the run) without the host's callback; the time in the kernel is not counted."
    echo "- *host's callback*: the console host checking and writing every channel, for comparison:"
    echo "  that part grows with the channels."
    echo "- \`perf stat\` has no instruction counter in this virtual machine, hence callgrind."
  fi
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
  if [ -n "$kept" ]; then
    echo
    echo "$kept"
  fi
} >"$output"
echo "bench: wrote $output"
