#!/usr/bin/env bash
# Configures and builds the presets: the deliverables, the suites that run them,
# the test twin, native and sanitized.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in win32 win32-tests win64 native native-asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
