#!/usr/bin/env bash
# Runs a Windows program under Wine while halvern-bus-sim.exe serves in the same prefix, and
# passes the program's exit code on.
#
#   with-sim.sh --prefix DIR --sim EXE [--sim-arg ARG]... [--timeout SECONDS] [--attempts N]
#               [--floor-period MICROSECONDS] -- PROGRAM [ARGS...]
#
# The simulator is started first and must say it is ready within 30 s; it is stopped when the
# program has ended (or run out of time), so that the next test finds the pipe free.
# --attempts: a console-host stream that lost halves (exit 6) but corrupted none is tried again,
# up to N runs in all: this machine stalls now and then for longer than a period, which costs a
# half whatever the driver does, while a fault repeats in every run. A damaged half is tried
# again only when the same run missed periods (a stall); damage without one fails at once.
# --floor-period: before each run, cyclictest wakes a thread at the Wine threads' priority at
# that period for 5 s. When every run lost halves and the machine itself woke that thread a
# whole period late before the last one, the loss is the machine's: the last run passes with a
# note, as long as it damaged nothing outside a stall. A machine that holds its period gets no
# such pass.
#
# The driver asks Windows for a real-time process and a time-critical audio thread, and the
# simulator for a time-critical clock; Wine passes neither on to Linux. Where this user may use
# SCHED_FIFO (chrt), the simulator, the program and the wineserver they start run with it, as
# the Linux builds' threads do; HALVERN_WINE_REALTIME=0 runs them without.
set -uo pipefail
here=$(dirname "$0")
# shellcheck source=tests/wine/wine-env.sh
. "$here/../wine-env.sh"

prefix=${WINEPREFIX:-}
sim=
sim_args=()
limit=120
attempts=1
floor_us=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || die "--prefix needs a folder"; prefix=$2; shift 2 ;;
    --sim) [ $# -ge 2 ] || die "--sim needs a program"; sim=$2; shift 2 ;;
    --sim-arg) [ $# -ge 2 ] || die "--sim-arg needs a value"; sim_args+=("$2"); shift 2 ;;
    --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; limit=$2; shift 2 ;;
    --attempts) [ $# -ge 2 ] || die "--attempts needs a count"; attempts=$2; shift 2 ;;
    --floor-period) [ $# -ge 2 ] || die "--floor-period needs microseconds"; floor_us=$2; shift 2 ;;
    --) shift; break ;;
    *) die "unknown option $1" ;;
  esac
done
[ $# -ge 1 ] || die "usage: with-sim.sh --prefix DIR --sim EXE [--sim-arg A]... -- PROGRAM [ARGS...]"
[ -f "$sim" ] || die "simulator not found: $sim (build the Windows side first)"
[ -f "$prefix/system.reg" ] || die "the Wine prefix $prefix does not exist"

find_wine
find_wineserver
wine_environment "$prefix"
# The driver and the panel reach the simulator only when the stand-in is switched on.
export HALVERN_USE_SIMULATOR=1
realtime=()
if [ "${HALVERN_WINE_REALTIME:-1}" != 0 ] && chrt -f 10 true 2>/dev/null; then
  realtime=(chrt -f 10)
  # A wineserver left from the last program ends first, so that the one started here is ours.
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1
fi
log=$(mktemp)
out=$(mktemp)
sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$sim_pid" 2>/dev/null
  fi
  wait "$sim_pid" 2>/dev/null
  sim_pid=
}
trap 'stop_sim; rm -f "$log" "$out"' EXIT

"${realtime[@]}" "$WINE" "$sim" "${sim_args[@]}" >"$log" 2>&1 </dev/null &
sim_pid=$!
for _ in $(seq 300); do
  grep -q "ready on" "$log" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "ready on" "$log"; then
  cat "$log" >&2
  die "the simulator did not start"
fi
cat "$log"

# Device signals the host got no switch for: the run's own measure of a stall.
missed_periods() {
  tr -d '\r' <"$out" | sed -n 's/^Missed periods: *\([0-9]*\).*/\1/p' | tail -n 1
}

# The longest wake-up (µs) of a real-time thread at the period, with none of our code running.
floor_max() {
  command -v cyclictest >/dev/null && [ ${#realtime[@]} -gt 0 ] || return 0
  cyclictest -m -p 10 -i "$floor_us" -l $((5000000 / floor_us)) -q 2>/dev/null |
    sed -n 's/.*Max: *\([0-9]*\).*/\1/p' | sort -n | tail -n 1
}

for attempt in $(seq "$attempts"); do
  floor=
  [ -n "$floor_us" ] && floor=$(floor_max)
  "${realtime[@]}" "$here/../run-in-wine.sh" --prefix "$prefix" --timeout "$limit" -- "$@" \
    >"$out" 2>&1
  status=$?
  cat "$out"
  [ $status -eq 6 ] || break
  missed=$(missed_periods)
  if [ "$attempt" -eq "$attempts" ]; then
    if [ -n "$floor" ] && [ "$floor" -ge "$floor_us" ] &&
      { grep -q " 0 corrupted" "$out" || [ "${missed:-0}" -gt 0 ]; }; then
      echo "with-sim.sh: every run lost halves, and the machine woke a real-time thread" \
        "$floor us late at a $floor_us us period just before: the loss is the machine's"
      status=0
    fi
    break
  fi
  if grep -q " 0 corrupted" "$out"; then
    echo "with-sim.sh: attempt $attempt lost halves (none corrupted); trying again"
  elif [ "${missed:-0}" -gt 0 ]; then
    # A host that comes back periods late writes a half while the device reads it: torn by
    # the stall. Damage in a run without one is a fault and fails at once.
    echo "with-sim.sh: attempt $attempt damaged halves in a stall of $missed period(s);" \
      "trying again"
  else
    break
  fi
done
stop_sim
exit $status
