#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format (the repo's .clang-format) makes.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed" >&2; exit 1; }
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || exit 0
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/halvern-format.$$; then
  grep -E '^[^ ].*: (warning|error):' /tmp/halvern-format.$$ | cut -d: -f1 | sort -u >&2
  rm -f /tmp/halvern-format.$$
  echo "run: clang-format -i on the files above" >&2
  exit 1
fi
rm -f /tmp/halvern-format.$$
echo "clang-format: ${#files[@]} files clean"
