#!/usr/bin/env bash
# Installs every Debian package the project needs. Quick when all is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  clang-format
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  xvfb xauth x11-utils trayer fonts-noto-cjk qt6-qpa-plugins
  rt-tests jackd2 python3
  clang libclang-rt-14-dev
  nsis dpkg-dev file desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Qt 6 for MinGW, for the Windows build of the panel: unpacked from a ready build beside the
# repository when there is one, otherwise built once from Debian's source (about an hour).
bash "$(dirname "$0")/build-qt-mingw.sh" >/dev/null
