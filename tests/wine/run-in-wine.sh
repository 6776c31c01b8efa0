#!/usr/bin/env bash
# Runs a Windows program under Wine in the test prefix and passes its exit code on.
#
#   run-in-wine.sh [--prefix DIR] [--cwd DIR] [--timeout SECONDS] [--] PROGRAM [ARGS...]
#
# PROGRAM is a path to an .exe (it must exist: a missing build is a failure, not a pass) or a
# program Wine finds itself (regsvr32, reg, cmd, or a file in --cwd). The prefix defaults to $WINEPREFIX and
# must exist (the wine.prefix-setup test creates it); the time-out defaults to 240 s.
set -uo pipefail
# shellcheck source=tests/wine/wine-env.sh
. "$(dirname "$0")/wine-env.sh"

prefix=${WINEPREFIX:-}
cwd=
limit=240
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || die "--prefix needs a folder"; prefix=$2; shift 2 ;;
    --cwd) [ $# -ge 2 ] || die "--cwd needs a folder"; cwd=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; limit=$2; shift 2 ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || die "usage: run-in-wine.sh [--prefix DIR] [--cwd DIR] [--timeout S] [--] PROGRAM [ARGS...]"
program=$1
shift

[ -n "$prefix" ] || die "no Wine prefix given (--prefix or WINEPREFIX)"
[ -f "$prefix/system.reg" ] ||
  die "the Wine prefix $prefix does not exist; it is made by the ctest fixture wine.prefix-setup"
case "$program" in
  */*)
    if [ ! -f "$program" ]; then
      die "Windows program not found: $program
Build the Windows side first: cmake --preset mingw && cmake --build --preset mingw
(or point HALVERN_MINGW_BINARY_DIR at the build folder that has it)"
    fi
    ;;
esac
if [ -n "$cwd" ]; then
  cd "$cwd" || die "cannot enter $cwd"
fi

find_wine
wine_environment "$prefix"
# The programs under test may reach halvern-bus-sim.exe where no interface is present; an
# installed driver never does unless its user switches the stand-in on the same way.
export HALVERN_USE_SIMULATOR=1
timeout --kill-after=10 "$limit" "$WINE" "$program" "$@" </dev/null
status=$?
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  # Whatever the program started in the prefix goes too, so the next test starts clean.
  find_wineserver
  timeout 30 "$WINESERVER" -k >/dev/null 2>&1
  die "$program did not finish within $limit s"
fi
exit $status
