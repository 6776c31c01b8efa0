#!/usr/bin/env bash
# Builds the Debian package and checks it as a user meets it, without installing it on this
# machine: unpacked with dpkg -x into a throw-away root, its programs run from there against a
# simulator in a private folder (no running panel, simulator or registry of the user is
# touched). Then: no build-tree path and no debug section in what ships. Prints the package's
# size and fields.
#
#   bash scripts/check-deb.sh     # HALVERN_BUILD_DIR chooses the build folder (default build/linux)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/virtual-display.sh
. scripts/virtual-display.sh
# shellcheck source=scripts/processes.sh
. scripts/processes.sh

build=${HALVERN_BUILD_DIR:-build/linux}
source_dir=$(pwd -P)

fail() {
  echo "check-deb.sh: $*" >&2
  exit 1
}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux -B "$build" >/dev/null
fi
build_dir=$(cd "$build" && pwd -P)
if ! log=$(cmake --build "$build" --target halvern-bus-sim halvern-asio-host HalvernASIO \
  HalvernMixer 2>&1); then
  echo "$log" >&2
  fail "the build failed"
fi

work=$(mktemp -d /tmp/halvern-check-deb.XXXXXX)
sim_pid=
mixer_pid=
xvfb_pid=
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
  stop_process "$mixer_pid"
  stop_process "$xvfb_pid"
  stop_process "$sim_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The package: stripped (CPACK_STRIP_FILES), dependencies from dpkg-shlibdeps.
rm -f "$build_dir"/packages/halvern_*.deb
if ! log=$(cd "$build_dir" && timeout 300 cpack -G DEB 2>&1); then
  echo "$log" >&2
  fail "cpack failed"
fi
debs=("$build_dir"/packages/halvern_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package in $build_dir/packages"
deb=${debs[0]}
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  *libqt6widgets6*libstdc++6* | *libstdc++6*libqt6widgets6*) ;;
  *) fail "the dependencies were not taken from the libraries: Depends: $depends" ;;
esac

root=$work/root
dpkg -x "$deb" "$root"
for f in usr/bin/halvern-bus-sim usr/bin/halvern-asio-host usr/bin/HalvernMixer \
  usr/lib/halvern/libHalvernASIO.so usr/lib/halvern/HalvernMixer \
  usr/lib/halvern/HalvernDriver_en_US.qm usr/lib/halvern/HalvernDriver_zh_CN.qm \
  usr/share/applications/halvern-mixer.desktop \
  usr/share/icons/hicolor/256x256/apps/halvern-mixer.png; do
  [ -e "$root/$f" ] || fail "the package has no /$f"
done
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$root/usr/share/applications/halvern-mixer.desktop" ||
    fail "the desktop entry is not valid"
fi

# Nothing that only makes sense on the build machine, and nothing for a debugger.
if leaks=$(grep -rlaF -e "$source_dir" -e "$build_dir" "$root"); then
  fail "build-tree paths in the package: $leaks"
fi
while IFS= read -r -d '' f; do
  if head -c 4 "$f" | grep -q 'ELF'; then
    if readelf -S -W "$f" | grep -q '\.debug_'; then
      fail "debug sections in /${f#"$root"/}"
    fi
  fi
done < <(find "$root" -type f -print0)

# The programs, from the unpacked root, in a private runtime folder and registry.
export HALVERN_RUNTIME_DIR=$work/runtime
export HALVERN_REGISTRY=$work/registry.reg
bin=$root/usr/bin
driver=$root/usr/lib/halvern/libHalvernASIO.so

"$bin/halvern-bus-sim" --help >"$work/sim-help.txt" || fail "halvern-bus-sim --help failed"
grep -q '^usage: halvern-bus-sim' "$work/sim-help.txt" || fail "halvern-bus-sim --help: no usage"

"$bin/halvern-bus-sim" --model wren >"$work/sim.log" 2>&1 &
sim_pid=$!
ready=0
for _ in $(seq 100); do
  kill -0 "$sim_pid" 2>/dev/null || break
  if "$bin/halvern-bus-sim" ctl status >/dev/null 2>&1; then
    ready=1
    break
  fi
  sleep 0.1
done
[ "$ready" -eq 1 ] || fail "halvern-bus-sim was not ready after 10 s ($(cat "$work/sim.log"))"

timeout 30 "$bin/halvern-asio-host" --register "$driver" >"$work/register.txt" 2>&1 ||
  fail "registering the installed driver failed: $(cat "$work/register.txt")"
grep -qF "$driver" "$HALVERN_REGISTRY" || fail "the registry does not name $driver"
timeout 30 "$bin/halvern-asio-host" --info >"$work/info.txt" 2>&1 ||
  fail "halvern-asio-host --info failed: $(cat "$work/info.txt")"
if ! grep -Eq '^Driver: +Halvern ASIO$' "$work/info.txt" ||
  ! grep -Eq '^Init: +ok$' "$work/info.txt"; then
  fail "halvern-asio-host --info did not read the driver: $(cat "$work/info.txt")"
fi

# The panel through its link on the PATH, on a virtual display: it must find its translations
# in its installed folder, and the device.
start_virtual_display "$work" || fail "the virtual display did not start ($(cat "$work/xvfb.log"))"
mkdir -p "$work/tmp" "$work/data"
env DISPLAY="$virtual_display" QT_QPA_PLATFORM=xcb TMPDIR="$work/tmp" XDG_DATA_HOME="$work/data" \
  LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 "$bin/HalvernMixer" >"$work/mixer.log" 2>&1 &
mixer_pid=$!
translation="成功加载翻译文件： \"$root/usr/lib/halvern/HalvernDriver_zh_CN.qm\""
started=0
for _ in $(seq 150); do
  kill -0 "$mixer_pid" 2>/dev/null || break
  if grep -qF "$translation" "$work/mixer.log" && grep -q 'Device found with PID:' "$work/mixer.log"; then
    started=1
    break
  fi
  sleep 0.1
done
[ "$started" -eq 1 ] ||
  fail "HalvernMixer did not start with its translation and device in 15 s: $(cat "$work/mixer.log")"
stop_process "$mixer_pid"
mixer_pid=

size=$(stat -c %s "$deb")
echo "Debian package $(basename "$deb"): $size bytes ($(((size + 1023) / 1024)) KiB)," \
  "installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "  Depends: $depends"
echo "  checked: unpacked, no build paths or debug sections, halvern-bus-sim --help," \
  "halvern-asio-host --register/--info against the simulator, HalvernMixer started"
