# shellcheck shell=bash disable=SC2034
# Sourced by run-in-wine.sh and wine-prefix.sh: finds Wine and sets a quiet, headless
# environment for the prefix in $WINEPREFIX.

die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# Debian 12 ships /usr/bin/wine (a wrapper choosing /usr/lib/wine/wine or wine64) and, with
# the wine64 package alone, no /usr/bin/wine64; other systems name things differently.
find_wine() {
  local candidate
  if [ -n "${HALVERN_WINE:-}" ]; then
    WINE=$HALVERN_WINE
    return 0
  fi
  for candidate in wine wine-stable wine64; do
    if command -v "$candidate" >/dev/null 2>&1; then
      WINE=$(command -v "$candidate")
      return 0
    fi
  done
  for candidate in /usr/lib/wine/wine64 /usr/lib/wine/wine /usr/lib64/wine/wine64 \
                   /opt/wine-stable/bin/wine64 /opt/wine-stable/bin/wine; do
    if [ -x "$candidate" ]; then
      WINE=$candidate
      # The bare loader needs to be told where it is to start its helpers.
      export WINELOADER=${WINELOADER:-$candidate}
      return 0
    fi
  done
  die "Wine not found (install the Debian packages wine and wine64, or set HALVERN_WINE)"
}

find_wineserver() {
  local candidate
  for candidate in wineserver wineserver-stable wineserver64; do
    if command -v "$candidate" >/dev/null 2>&1; then
      WINESERVER=$(command -v "$candidate")
      return 0
    fi
  done
  for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver /usr/lib64/wine/wineserver \
                   /opt/wine-stable/bin/wineserver; do
    if [ -x "$candidate" ]; then
      WINESERVER=$candidate
      return 0
    fi
  done
  die "wineserver not found (install the Debian package wine)"
}

wine_environment() {
  export WINEPREFIX=$1
  export WINEARCH=win64
  export WINEDEBUG=-all
  # No offer to install Mono or Gecko, and no menu entries or file associations written into
  # the user's desktop.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  # Wine wants a home folder; a bare CI environment may have none.
  export HOME=${HOME:-$(dirname "$1")}
}

# wine_process_running NAME.exe: a program of that name runs in this $WINEPREFIX (Wine's
# tasklist lists nothing; other prefixes on the machine do not count).
wine_process_running() {
  local pid
  for pid in $(pgrep -f "$1" 2>/dev/null); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      return 0
  done
  return 1
}
