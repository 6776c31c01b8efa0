#!/usr/bin/env bash
# Runs one of the panel's Qt Test programs under Wine on the offscreen platform and passes its
# exit code on.
#
#   run-suite.sh --prefix DIR [--timeout SECONDS] -- SUITE.exe [ARGS...]
#
# Wine hands no QT_* variable to a Windows program, so the platform is given as Qt's option;
# Qt Test's report does not reach a pipe from under Wine, so it goes to a file, shown after.
set -uo pipefail
here=$(dirname "$0")
# shellcheck source=tests/wine/wine-env.sh
. "$here/../wine-env.sh"

prefix=${WINEPREFIX:-}
limit=180
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || die "--prefix needs a folder"; prefix=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; limit=$2; shift 2 ;;
    --) shift; break ;;
    *) die "unknown option $1" ;;
  esac
done
[ $# -ge 1 ] || die "usage: run-suite.sh --prefix DIR [--timeout S] -- SUITE.exe [ARGS...]"
suite=$1
shift

report=$(mktemp --suffix=.txt)
trap 'rm -f "$report"' EXIT
# The Unix root is drive Z: in every prefix.
"$here/../run-in-wine.sh" --prefix "$prefix" --timeout "$limit" -- "$suite" \
  -platform offscreen -o "Z:${report//\//\\},txt" "$@"
status=$?
tr -d '\r' <"$report"
exit $status
