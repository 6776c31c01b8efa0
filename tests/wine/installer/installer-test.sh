#!/usr/bin/env bash
# The Windows installer as a user meets it, in a fresh Wine prefix of its own: a silent
# install, the driver's registry entries naming the installed DLL, the control panel with its
# Qt files, Start menu entry and logon entry, the driver created through COM by the console
# host and its name read, then a silent uninstall that leaves no key and no file behind.
#
#   installer-test.sh --installer SETUP.EXE --host HOST.EXE --prefix DIR --objdump OBJDUMP
#                     --build-path PATH...
# A --build-path must not occur in the installed DLL (the source and build folders).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/wine-env.sh
. "$here/../wine-env.sh"

installer=
host=
prefix=
objdump=
build_paths=()
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || die "$1 needs a value"
  case "$1" in
    --installer) installer=$2 ;;
    --host) host=$2 ;;
    --prefix) prefix=$2 ;;
    --objdump) objdump=$2 ;;
    --build-path) build_paths+=("$2") ;;
    *) die "unknown option $1" ;;
  esac
  shift 2
done
if [ -z "$installer" ] || [ -z "$host" ] || [ -z "$prefix" ] || [ -z "$objdump" ]; then
  die "usage: installer-test.sh --installer EXE --host EXE --prefix DIR --objdump PROGRAM"
fi
[ -f "$installer" ] || die "installer not found: $installer (build the target installer of the
MinGW build: cmake --build --preset mingw)"
[ -f "$host" ] || die "console host not found: $host"

failures=0
# verdict DESCRIPTION: the status of the command just run decides.
verdict() {
  if [ "$?" -eq 0 ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    failures=$((failures + 1))
  fi
}
run() { "$here/../run-in-wine.sh" --prefix "$prefix" --timeout 120 -- "$@"; }
# A Windows program's text, with its line ends made plain.
output() { run "$@" 2>&1 | tr -d '\r'; }
# has TEXT REGEX: an extended regular expression matches a line of TEXT.
has() { grep -Eq -- "$2" <<<"$1"; }

clsid="{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}"
class_key="HKCR\\CLSID\\$clsid"
asio_key="HKLM\\SOFTWARE\\ASIO\\Halvern Audio"
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HalvernAudio"
install_dir="$prefix/drive_c/Program Files/Halvern Audio"
dll=$install_dir/HalvernASIO.dll
run_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
start_menu_link="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Halvern Mixer.lnk"
# What the panel needs beside it on a machine without Qt.
panel_files=(HalvernMixer.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll
             libgcc_s_seh-1.dll libwinpthread-1.dll platforms/qwindows.dll
             platforms/qoffscreen.dll styles/qwindowsvistastyle.dll imageformats/qico.dll
             HalvernDriver_en_US.qm HalvernDriver_zh_CN.qm)

find_wine
find_wineserver
"$here/../wine-prefix.sh" setup "$prefix" || exit 1
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() { "$here/../wine-prefix.sh" cleanup "$prefix" >/dev/null; }
trap cleanup EXIT
# wine_environment after the setup: the prefix script exports the same, for itself.
wine_environment "$prefix"
# The registry files are written when the wineserver ends.
flush_registry() { timeout 60 "$WINESERVER" -w || die "the wineserver did not end within 60 s"; }
! grep -qi halvern "$prefix/system.reg" "$prefix/user.reg"
verdict "a fresh prefix knows nothing of the driver"

# ---- install -----------------------------------------------------------------------------
run "$installer" /S
status=$?
[ $status -eq 0 ]
verdict "silent install exits 0 (got $status)"
[ -f "$dll" ] && [ -f "$install_dir/Uninstall.exe" ]
verdict "the DLL and the uninstaller are in Program Files"
# What ships: no debug sections, no path of the machine that built it.
sections=$("$objdump" -h "$dll" 2>&1)
has "$sections" '\.text' && ! has "$sections" '\.debug'
verdict "the installed DLL has sections and no debug ones"
for path in "${build_paths[@]}"; do
  ! grep -qaF "$path" "$dll"
  verdict "the installed DLL does not name $path"
done

for f in "${panel_files[@]}"; do
  [ -s "$install_dir/$f" ]
  verdict "the panel's $f is in Program Files"
done
! has "$("$objdump" -h "$install_dir/HalvernMixer.exe" 2>&1)" '\.debug'
verdict "the installed panel has no debug sections"
sleep 1
! wine_process_running HalvernMixer.exe
verdict "a silent install starts no panel"
[ -f "$start_menu_link" ]
verdict "the Start menu has the panel"
has "$(output reg query "$run_key" /v HalvernMixer)" \
  'HalvernMixer +REG_SZ +"C:\\Program Files\\Halvern Audio\\HalvernMixer\.exe"$'
verdict "the panel starts at every user's logon"

asio=$(output reg query "$asio_key")
has "$asio" "CLSID +REG_SZ +\\$clsid" && has "$asio" 'Description +REG_SZ +Halvern Audio$'
verdict "$asio_key names the class"
class=$(output reg query "$class_key" /s)
has "$class" '\(Default\) +REG_SZ +c:\\program files\\halvern audio\\halvernasio\.dll$' &&
  has "$class" 'ThreadingModel +REG_SZ +Apartment$'
verdict "the class's server is the installed DLL, apartment-threaded"
entry=$(output reg query "$uninstall_key")
for value in 'DisplayName +REG_SZ +Halvern Audio Driver$' 'DisplayVersion +REG_SZ +[0-9]' \
  'Publisher +REG_SZ +Halvern$' 'InstallLocation +REG_SZ +C:\\Program Files\\Halvern Audio$' \
  'UninstallString +REG_SZ +"C:\\Program Files\\Halvern Audio\\Uninstall\.exe"$' \
  'QuietUninstallString +REG_SZ +"C:\\Program Files\\Halvern Audio\\Uninstall\.exe" /S$' \
  'EstimatedSize +REG_DWORD +0x[0-9a-f]*[1-9a-f]'; do
  has "$entry" "$value"
  verdict "program list entry: ${value%% *}"
done

# Created as any host creates it: CoCreateInstance of the registered class. Without a device
# its init fails, after its name is read.
info=$(output "$host" --info)
has "$info" '^Source: +Halvern Audio$' && has "$info" '^Driver: +Halvern ASIO$'
verdict "the console host creates the installed driver and reads its name"
has "$info" '^Init: +failed: No Halvern audio device' && ! has "$info" 'Unhandled exception|page fault'
verdict "the driver's init fails for the missing device, not a crash"

# ---- uninstall ---------------------------------------------------------------------------
# A running panel holds its files: the uninstaller ends it first.
"$WINE" "$install_dir/HalvernMixer.exe" -platform offscreen </dev/null >/dev/null 2>&1 &
panel_pid=$!
running=1
for _ in $(seq 100); do
  wine_process_running HalvernMixer.exe && running=0 && break
  sleep 0.2
done
[ $running -eq 0 ]
verdict "the installed panel runs from Program Files"
# The uninstaller hands over to a copy of itself in the temporary folder and returns: the
# wineserver's end says that copy is done too.
run "$install_dir/Uninstall.exe" /S
status=$?
flush_registry
[ $status -eq 0 ]
verdict "silent uninstall exits 0 (got $status)"
wait "$panel_pid" 2>/dev/null
! wine_process_running HalvernMixer.exe
verdict "the uninstaller ended the running panel"
[ ! -e "$install_dir" ]
verdict "the install folder is gone"
[ ! -e "$start_menu_link" ]
verdict "the Start menu entry is gone"
has "$(output reg query "$run_key" /v HalvernMixer)" 'Unable to find'
verdict "the logon entry is gone"
for key in "$asio_key" "$class_key" "$uninstall_key"; do
  has "$(output reg query "$key")" 'Unable to find the specified registry key'
  verdict "$key is gone"
done
flush_registry
! grep -i halvern "$prefix/system.reg" "$prefix/user.reg"
verdict "no key anywhere names the driver"

[ $failures -eq 0 ] || die "$failures checks failed"
echo "installer: install, registration, COM creation and uninstall all good"
