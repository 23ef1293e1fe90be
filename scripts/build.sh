#!/usr/bin/env bash
# Configures and builds the four presets (deliverables, test twin, native, sanitized).
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in win32 win64 native native-asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
