#!/usr/bin/env bash
# Compiles every panel source for Windows on paper: MinGW-w64, syntax only, against the Qt
# headers at hand, so that the _WIN32 branches compile also on a machine where no Qt for MinGW
# was made (scripts/build-qt-mingw.sh; with it the mingw preset builds the panel itself).
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
qt=${QT_INCLUDE_DIR:-/usr/include/x86_64-linux-gnu/qt6}
if ! command -v "$cxx" >/dev/null || [ ! -d "$qt/QtWidgets" ]; then
  echo "check-panel-win32: needs $cxx and the Qt 6 headers in $qt" >&2
  exit 1
fi
flags=(-fsyntax-only -std=c++17 -Wall -Wextra -DWIN32_LEAN_AND_MEAN -DNOMINMAX
       -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets"
       -Ipanel -Iplatform/include -Iprotocol/include)
failed=0
count=0
while IFS= read -r -d '' f; do
  count=$((count + 1))
  if ! out=$("$cxx" "${flags[@]}" "$f" 2>&1) || [ -n "$out" ]; then
    echo "$out"
    echo "check-panel-win32: $f does not compile cleanly for Windows" >&2
    failed=1
  fi
done < <(find panel -name '*.cpp' -not -path 'panel/tools/*' -print0 | sort -z)
echo "check-panel-win32: $count files checked"
exit "$failed"
