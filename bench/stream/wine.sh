#!/usr/bin/env bash
# The Windows DLL under Wine: for each buffer size (32, 48, 64 and 256 samples at 48000 Hz),
# halvern-bus-sim.exe serves a Wren in loopback and halvern-asio-host.exe streams through the
# registered HalvernASIO.dll for BENCH_SECONDS, in a throw-away Wine prefix. Before each stream,
# the floor of the same period under Wine: halvern-wake-floor.exe, one process setting an event
# once a period for another that waits, both at the driver's priorities. Prints one Markdown row
# per size: the floor, then the stream in the columns of bench/stream/run.sh's "Streaming through
# the driver" table, with the stream's p99 over the floor's.
#
#   bash bench/stream/wine.sh [MINGW_BUILD_DIR]     # default $HALVERN_MINGW_BUILD_DIR or build/mingw
#   BENCH_SECONDS=30 BENCH_SIZES="64 256" bash bench/stream/wine.sh build/mingw
#   BENCH_WINE_CPUS=0 bash bench/stream/wine.sh     # floor and stream on processor 0 only
#
# BENCH_WINE_CPUS (a taskset list) keeps every process of the run (the wineserver too) on those
# processors: Wine's threads are placed by Linux, and in a virtual machine a real-time thread
# woken on an idle second processor costs more than the wake-up itself.
#
# Progress goes to standard error, rows to standard output.
set -uo pipefail
cd "$(dirname "$0")/../.."
if [ -n "${BENCH_WINE_CPUS:-}" ] && [ -z "${HALVERN_WINE_PINNED:-}" ]; then
  HALVERN_WINE_PINNED=1 exec taskset -c "$BENCH_WINE_CPUS" bash "$0" "$@"
fi
# shellcheck source=bench/stream/json_get.sh
. bench/stream/json_get.sh

mingw_build=${1:-${HALVERN_MINGW_BUILD_DIR:-build/mingw}}
seconds=${BENCH_SECONDS:-10}
read -r -a sizes <<<"${BENCH_SIZES:-32 48 64 256}"
rate=48000
sim=$mingw_build/sim/halvern-bus-sim.exe
host=$mingw_build/tools/asio-host/halvern-asio-host.exe
dll=$mingw_build/driver/HalvernASIO/HalvernASIO.dll
floor=$mingw_build/bench/wine-floor/halvern-wake-floor.exe

for f in "$sim" "$host" "$dll" "$floor"; do
  if [ ! -f "$f" ]; then
    echo "wine.sh: $f is missing; build the Windows side: cmake --preset mingw && cmake --build --preset mingw" >&2
    exit 1
  fi
done

prefix=$(mktemp -d /tmp/halvern-bench-wine.XXXXXX)/prefix
cleanup() {
  bash tests/wine/wine-prefix.sh cleanup "$prefix" >/dev/null 2>&1
  rm -rf "$(dirname "$prefix")"
}
trap cleanup EXIT
echo "wine.sh: making a Wine prefix in $prefix" >&2
bash tests/wine/wine-prefix.sh setup "$prefix" >&2 || exit 1
run=(bash tests/wine/run-in-wine.sh --prefix "$prefix")
"${run[@]}" --timeout 120 -- regsvr32 /s "$dll" >&2 || {
  echo "wine.sh: regsvr32 of $dll failed" >&2
  exit 1
}

for size in "${sizes[@]}"; do
  period_ms=$(awk -v n="$size" -v r="$rate" 'BEGIN { printf "%.3f", n * 1000 / r }')
  period_us=$(awk -v n="$size" -v r="$rate" 'BEGIN { printf "%.1f", n * 1000000 / r }')
  sim_run=(bash tests/wine/sim/with-sim.sh --prefix "$prefix" --sim "$sim" --sim-arg --model
    --sim-arg wren --timeout $((seconds + 60)) --)
  echo "wine.sh: halvern-wake-floor.exe $period_us $seconds   ($size samples)" >&2
  floor_json=""
  for attempt in 1 2; do
    floor_out=$("${sim_run[@]}" "$floor" "$period_us" "$seconds" 2>&1)
    floor_json=$(grep -m1 '^{' <<<"$floor_out" || true)
    [ -n "$floor_json" ] && break
    echo "wine.sh: the floor gave no figures (attempt $attempt):" >&2
    tail -5 <<<"$floor_out" >&2
  done
  floor_cols="| |"
  floor_p99=""
  if [ -n "$floor_json" ]; then
    floor_p99=$(json_get "$floor_json" p99)
    floor_cols="$(json_get "$floor_json" p50) / $floor_p99 / $(json_get "$floor_json" max) | $(json_get "$floor_json" late) / $(json_get "$floor_json" missed) |"
  fi
  echo "wine.sh: halvern-asio-host.exe --stream --seconds $seconds --json   ($size samples)" >&2
  out=$(bash tests/wine/sim/with-sim.sh --prefix "$prefix" --sim "$sim" \
    --sim-arg --model --sim-arg wren --sim-arg --loopback --sim-arg --rate --sim-arg "$rate" \
    --sim-arg --buffer-size --sim-arg "$size" --timeout $((seconds + 60)) -- \
    "$host" --stream --seconds "$seconds" --json 2>/dev/null)
  status=$?
  json=$(grep -m1 '^{' <<<"$out" || true)
  if [ -z "$json" ]; then
    echo "| $size | $period_ms | $floor_cols | | | | | | | | | | the host gave no report (exit $status) |"
    continue
  fi
  latency="$(json_get "$json" latency_us p50) / $(json_get "$json" latency_us p99) / $(json_get "$json" latency_us max)"
  [ "$(json_get "$json" latency_us available)" = "true" ] || latency="unavailable"
  result=$([ "$status" -eq 0 ] && echo pass || echo "FAIL (exit $status)")
  over=$(awk -v a="$(json_get "$json" latency_us p99)" -v b="$floor_p99" 'BEGIN {
    if (a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b + 0 == 0) print "n/a"; else printf "%.2f", a / b }')
  echo "| $size | $period_ms | $floor_cols $(json_get "$json" switches) | $(json_get "$json" lost) | $(json_get "$json" repeated) | $(json_get "$json" corrupted) | $(json_get "$json" missed) | $latency | $over | $(json_get "$json" period_us jitter) | $(json_get "$json" callback_us mean) / $(json_get "$json" callback_us max) | $result |"
done
