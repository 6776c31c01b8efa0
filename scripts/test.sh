#!/usr/bin/env bash
# Installs what is missing, builds the Linux and Windows sides and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
# A test that fails on a stall of this machine (a real-time thread held back for periods at a
# time) gets two more tries; a real fault fails all three and fails the run.
retry=(--repeat until-pass:3)
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"

# The address and undefined-behaviour sanitizers over the device, driver and panel suites, and
# the panel program's process tests.
if [ "${HALVERN_SKIP_ASAN:-0}" != 1 ]; then
  cmake --preset linux-asan >/dev/null
  cmake --build --preset linux-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 ctest --preset linux-asan "${retry[@]}" -L 'unit|integration|panel' -j "$jobs"
  # HalvernMixer as a process: single instance, crash, translations, hidden start.
  ASAN_OPTIONS=detect_leaks=1 ctest --preset linux-asan "${retry[@]}" -R '^e2e\.Mixer' -j "$jobs"
fi

# The thread sanitizer over the streaming engine, the pipes and the simulator's clock.
if [ "${HALVERN_SKIP_TSAN:-0}" != 1 ]; then
  cmake --preset linux-tsan >/dev/null
  cmake --build --preset linux-tsan -j "$jobs" --target \
    integration_driver_streaming integration_platform sim_integration_tests
  ctest --preset linux-tsan "${retry[@]}" -j "$jobs" \
    -R '^integration\.(StreamingTest|PipesTest|Pipes|Threads|SimStream|SimFaults)\.'
fi

ctest --preset linux "${retry[@]}" -j "$jobs"

# The Debian package, unpacked and run from a throw-away root. (The Windows installer is built
# with the MinGW build above and tested under Wine by ctest: wine.installer.)
bash scripts/check-deb.sh
