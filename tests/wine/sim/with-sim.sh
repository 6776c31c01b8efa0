#!/usr/bin/env bash
# Runs a Windows program under Wine while halvern-bus-sim.exe serves in the same prefix, and
# passes the program's exit code on.
#
#   with-sim.sh --prefix DIR --sim EXE [--sim-arg ARG]... [--timeout SECONDS] [--attempts N]
#               -- PROGRAM [ARGS...]
#
# The simulator is started first and must say it is ready within 30 s; it is stopped when the
# program has ended (or run out of time), so that the next test finds the pipe free.
# --attempts: a console-host stream that lost halves (exit 6) but corrupted none is tried again,
# up to N runs in all: this machine stalls now and then for longer than a period, which costs a
# half whatever the driver does, while a fault repeats in every run. Corruption is never retried.
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
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || die "--prefix needs a folder"; prefix=$2; shift 2 ;;
    --sim) [ $# -ge 2 ] || die "--sim needs a program"; sim=$2; shift 2 ;;
    --sim-arg) [ $# -ge 2 ] || die "--sim-arg needs a value"; sim_args+=("$2"); shift 2 ;;
    --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; limit=$2; shift 2 ;;
    --attempts) [ $# -ge 2 ] || die "--attempts needs a count"; attempts=$2; shift 2 ;;
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

for attempt in $(seq "$attempts"); do
  "${realtime[@]}" "$here/../run-in-wine.sh" --prefix "$prefix" --timeout "$limit" -- "$@" \
    >"$out" 2>&1
  status=$?
  cat "$out"
  [ $status -eq 6 ] && [ "$attempt" -lt "$attempts" ] && grep -q " 0 corrupted" "$out" || break
  echo "with-sim.sh: attempt $attempt lost halves (none corrupted); trying again"
done
stop_sim
exit $status
