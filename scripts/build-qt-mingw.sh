#!/usr/bin/env bash
# Makes Qt 6.4.2 (Core, Gui, Widgets, Test) for MinGW-w64 once, in a cache folder outside the
# repository, for the Windows build of HalvernMixer (preset mingw). Prints the folder.
#
#   HALVERN_QT_MINGW_DIR  the install prefix to make (default ~/.cache/halvern/qt6-mingw-6.4.2)
#   HALVERN_SHARED_DIR    where a ready build may lie: qt6-mingw-6.4.2.tar.xz with
#                         qt6-mingw-6.4.2.stamp beside it (default <repo>/../shared, or
#                         <repo>/../../shared for a worktree one folder further down)
#
# A folder whose stamp matches is reused. A ready build whose stamp matches what this script
# would build is unpacked; otherwise Qt is built from Debian's qt6-base source (45 to 60 min
# on two cores).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

version=6.4.2
debian_version=6.4.2+dfsg
orig=qt6-base_${debian_version}.orig.tar.xz
source_sha256=4f14b89a9463a540fd84a6718b8519a2297119b454ef547721015a9e9019ae9e
options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
         -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF
         -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
         -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF
         -DFEATURE_tabletevent=OFF)

dest=${HALVERN_QT_MINGW_DIR:-${HOME:?}/.cache/halvern/qt6-mingw-${version}}
if [ -n "${HALVERN_SHARED_DIR:-}" ]; then
  shared=$HALVERN_SHARED_DIR
else
  shared=$repo/../shared
  [ -f "$shared/qt6-mingw-${version}.tar.xz" ] || [ ! -d "$repo/../../shared" ] ||
    shared=$repo/../../shared
fi
ready=$shared/qt6-mingw-${version}.tar.xz
ready_stamp=$shared/qt6-mingw-${version}.stamp
stamp=$dest/halvern-qt.stamp

log() { echo "build-qt-mingw: $*" >&2; }

# The three lines that decide whether two builds are the same.
wanted() {
  printf 'version=%s\nsource_sha256=%s\noptions=%s\n' "$version" "$source_sha256" "${options[*]}"
}
key_of() { grep -E '^(version|source_sha256|options)=' "$1" | sort; }
matches() { [ -f "$1" ] && [ "$(key_of "$1")" = "$(wanted | sort)" ]; }
done_with() {
  echo "$dest"
  exit 0
}

if matches "$stamp" && [ -f "$dest/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  log "Qt ${version} for MinGW ready in $dest"
  done_with
fi

# Made again from nothing: a folder without a matching stamp is a broken or other build.
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
work=$(mktemp -d "$(dirname "$dest")/qt6-mingw-work.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ -f "$ready" ] && matches "$ready_stamp"; then
  log "unpacking the ready build $ready"
  mkdir -p "$work/unpack"
  tar -xJf "$ready" -C "$work/unpack"
  [ -f "$work/unpack/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ] || {
    log "$ready holds no qt6-mingw/ install prefix"
    exit 1
  }
  mv "$work/unpack/qt6-mingw" "$dest"
  { wanted; echo "from=$ready"; } >"$stamp"
  log "Qt ${version} for MinGW ready in $dest"
  done_with
fi

# ---- From source -------------------------------------------------------------------------
log "no matching ready build in $shared: building Qt ${version} from source (45 to 60 min)"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
for p in dpkg-dev cmake ninja-build qt6-base-dev qt6-base-dev-tools \
         g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || {
    log "needs the Debian package $p (scripts/setup.sh installs it)"
    exit 1
  }
done

# The source packages of the machine's own suites.
if ! apt-get source --print-uris -qq qt6-base >/dev/null 2>&1; then
  log "adding source entries for the machine's own suites"
  list=/etc/apt/sources.list.d/halvern-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo_cmd[@]}" tee "$list.sources" >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed 's/^deb /deb-src /' | "${sudo_cmd[@]}" tee "$list.list" >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
fi

log "fetching the qt6-base source"
(cd "$work" && apt-get source --download-only -qq qt6-base)
[ -f "$work/$orig" ] || {
  log "apt-get source brought no $orig"
  exit 1
}
echo "$source_sha256  $work/$orig" | sha256sum -c --quiet - || {
  log "$orig does not have the expected sha256 $source_sha256"
  exit 1
}
log "unpacking $orig"
tar -xJf "$work/$orig" -C "$work"
src=$work/qtbase-everywhere-src-${version}
[ -d "$src" ] || {
  log "$orig holds no qtbase-everywhere-src-${version}/"
  exit 1
}

# The posix-threads compilers, Qt's DLLs linking their runtime DLLs (shipped beside the panel).
cat >"$work/toolchain.cmake" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF

log "configuring"
cmake -S "$src" -B "$work/build" "${options[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$dest" >"$work/configure.log" 2>&1 || {
  tail -n 40 "$work/configure.log" >&2
  log "configure failed"
  exit 1
}
log "building (ninja shows its progress)"
start=$(date +%s)
nice cmake --build "$work/build" -j "$(nproc)"
log "installing into $dest"
cmake --install "$work/build" >/dev/null
{
  wanted
  echo "built=$(date -u +%F) in $((($(date +%s) - start) / 60)) min on $(nproc) cores"
} >"$stamp"
log "Qt ${version} for MinGW ready in $dest"
done_with
