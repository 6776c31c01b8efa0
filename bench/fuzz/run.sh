#!/usr/bin/env bash
# Runs every fuzz target for a long time and prints executions and findings per target; the
# table goes into docs/reliability.md under "## Fuzzing" (other sections are kept).
#
#   FUZZ_SECONDS  seconds per target (default 1200: >= 10 million runs for the fast targets)
#   FUZZ_RUNS     stop a target after this many runs instead (optional)
#   FUZZ_JOBS     targets run side by side (default 1)
#   FUZZ_TARGETS  space-separated subset (default: all)
#   FUZZ_NO_DOC=1 print only, leave docs/reliability.md alone
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

seconds=${FUZZ_SECONDS:-1200}
runs=${FUZZ_RUNS:-}
jobs=${FUZZ_JOBS:-1}
all="fuzz_bus_reply fuzz_bus_request fuzz_driver_device fuzz_driver_calls fuzz_reset_listener
     fuzz_status_pipe fuzz_page_ini fuzz_settings_ini"
targets=${FUZZ_TARGETS:-$all}

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz --target halvern_fuzz_targets >/dev/null

bin=$root/build/linux-fuzz/fuzz/bin
work=$root/build/linux-fuzz/fuzz/long
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/fuzz/lsan.supp
export QT_QPA_PLATFORM=offscreen

run_one() {
  local t=$1 dir=$work/$1 dict=()
  [ -x "$bin/$t" ] || { echo "$t: not built" >&2; return 0; }
  rm -rf "$dir/artifacts" && mkdir -p "$dir/corpus" "$dir/artifacts"
  case $t in fuzz_page_ini|fuzz_settings_ini) dict=(-dict="$root/tests/fuzz/ini.dict") ;; esac
  local limit=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit=(-runs="$runs")
  # A finding stops libFuzzer; go on from the corpus so the run still takes its time.
  local started=$SECONDS total=0 rate_sum=0 passes=0 status=0
  while :; do
    "$bin/$t" "${limit[@]}" -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 "${dict[@]}" \
      -artifact_prefix="$dir/artifacts/" "$dir/corpus" "$root/tests/fuzz/corpus/$t" \
      >"$dir/log.$passes" 2>&1 || status=1
    local n r
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log.$passes" | tail -1)
    r=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log.$passes" | tail -1)
    total=$((total + ${n:-0})); rate_sum=$((rate_sum + ${r:-0})); passes=$((passes + 1))
    [ "$status" = 0 ] && break
    [ -n "$runs" ] && break
    local left=$((seconds - (SECONDS - started)))
    [ "$left" -gt 5 ] || break
    limit=(-max_total_time="$left"); status=0
  done
  local findings
  findings=$(find "$dir/artifacts" -type f | wc -l)
  echo "$t $total $((rate_sum / passes)) $findings $((SECONDS - started))" >"$dir/result"
}

mkdir -p "$work"
running=0
for t in $targets; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
done
wait

table="| Target | Executions | Exec/s | Findings | Seconds |
|---|---:|---:|---:|---:|"
for t in $targets; do
  [ -f "$work/$t/result" ] || continue
  read -r name n rate findings took <"$work/$t/result"
  table+=$'\n'"| \`$name\` | $n | $rate | $findings | $took |"
done
echo "$table"
for t in $targets; do
  [ -d "$work/$t/artifacts" ] && find "$work/$t/artifacts" -type f | sed 's/^/finding: /'
done

[ "${FUZZ_NO_DOC:-0}" = 1 ] && exit 0
doc=$root/docs/reliability.md
command="FUZZ_SECONDS=$seconds${runs:+ FUZZ_RUNS=$runs} FUZZ_JOBS=$jobs bench/fuzz/run.sh"
section="## Fuzzing

\`$command\`, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores shared with other work, build
\`linux-fuzz\` (clang libFuzzer, address and undefined-behaviour sanitizers). A finding is an
input that crashed, leaked, timed out or broke a target's check; the inputs are under
\`build/linux-fuzz/fuzz/long/<target>/artifacts\`. \`ctest --preset linux-fuzz\` runs each
target for 20 s over the seeds in \`tests/fuzz/corpus/<target>\`, which also replay the inputs
of past findings. A target's speed is that of what it drives: the driver and panel targets run
real threads, pipes, the simulator and synced files, and need 3 to 37 hours each for 10 million;
\`FUZZ_SECONDS=$((10000000 / rate)) FUZZ_TARGETS=name\` is the time a target needs at its rate.

$table

What each target feeds, and what it checks besides the sanitizers:

| Target | Bytes from outside | Checked |
|---|---|---|
| \`fuzz_bus_reply\` | a device's reply on the bus socket (any header, length, payload, 0 to 3 descriptors) to \`deviceIoControl\` | never more than the caller's buffer; a failure reports an error; no descriptor left open |
| \`fuzz_bus_request\` | up to 8 requests to the simulator: true and false magic, lengths that disagree, inputs short and long (past the largest), stray descriptors | a well-formed reply within the capacity, or the connection ends; a new connection is served afterwards; no descriptor left open |
| \`fuzz_driver_device\` | a scripted device behind the bus socket: refused or garbled opens, failed requests, buffer sizes, rates, channel counts and shared-memory records of any value | the host gets an error or usable values (sizes 1 to 2048, channels 0 to 128), halves it can write; no descriptor left open |
| \`fuzz_driver_calls\` | a byte-driven sequence of driver calls against the simulator: null pointers, channel numbers and sizes of any value, NaN and infinite rates, any order, the device failing, unplugged or stopped between calls | only the interface's codes; writes stay in the host's blocks; no descriptor left open |
| \`fuzz_reset_listener\` | a client of the reset pipe writing nothing, one byte or a flood, in pieces and pauses, with a second client; each run's listener renewed by the control-panel call | exactly one reset request per listener; no descriptor left open |
| \`fuzz_status_pipe\` | status messages to the panel's pipe server: none, short, 20 bytes, over 1024, several | at most the 1024-byte buffer, the first message whole |
| \`fuzz_page_ini\` | the Wren, Tern or Kite state file | every control within its range, every key written back as the control holds it |
| \`fuzz_settings_ini\` | \`setting.ini\` read by the settings dialog | a stored text that is no item leaves its selection alone |"
python3 - "$doc" "$section" <<'PY'
import os, re, sys
path, section = sys.argv[1], sys.argv[2].rstrip() + "\n"
text = open(path).read() if os.path.exists(path) else "# Reliability\n"
# Our section runs from its heading to the next second-level heading.
pattern = re.compile(r"^## Fuzzing\n.*?(?=^## |\Z)", re.S | re.M)
if pattern.search(text):
    text = pattern.sub(lambda m: section + "\n", text, count=1)
else:
    text = text.rstrip() + "\n\n" + section
open(path, "w").write(text.rstrip() + "\n")
PY
echo "wrote $doc"
