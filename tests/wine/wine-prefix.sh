#!/usr/bin/env bash
# wine-prefix.sh setup|cleanup PREFIX: creates a fresh throw-away Wine prefix, or shuts its
# wineserver down and deletes it.
set -uo pipefail
# shellcheck source=tests/wine/wine-env.sh
. "$(dirname "$0")/wine-env.sh"

[ $# -eq 2 ] || die "usage: wine-prefix.sh setup|cleanup PREFIX"
action=$1
prefix=$2
case "$prefix" in
  /*) ;;
  *) die "the prefix must be an absolute path: $prefix" ;;
esac
find_wine
find_wineserver
wine_environment "$prefix"

stop_server() {
  if [ -d "$prefix" ]; then
    timeout 30 "$WINESERVER" -k >/dev/null 2>&1
    timeout 30 "$WINESERVER" -w >/dev/null 2>&1
  fi
  return 0
}

case "$action" in
  setup)
    stop_server
    rm -rf "$prefix" || die "cannot remove the old prefix $prefix"
    mkdir -p "$(dirname "$prefix")" || die "cannot create $(dirname "$prefix")"
    start=$(date +%s)
    timeout 300 "$WINE" wineboot -i </dev/null
    status=$?
    [ $status -eq 124 ] && die "wineboot did not finish within 300 s"
    [ $status -eq 0 ] || die "wineboot failed with exit code $status"
    # The wineserver writes the registry when the last process is gone.
    timeout 120 "$WINESERVER" -w || die "the wineserver did not finish within 120 s"
    [ -f "$prefix/system.reg" ] || die "wineboot left no registry in $prefix"
    echo "wine prefix $prefix ready after $(( $(date +%s) - start )) s ($("$WINE" --version 2>/dev/null))"
    ;;
  cleanup)
    stop_server
    rm -rf "$prefix" || die "cannot remove $prefix"
    echo "wine prefix $prefix removed"
    ;;
  *)
    die "unknown action $action (setup or cleanup)"
    ;;
esac
