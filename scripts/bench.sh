#!/usr/bin/env bash
# Builds the native engine benchmark and runs it: install throughput against
# cp of the same bytes, and the uninstall-list merge time. Figures only.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-build/native}
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target engine_bench
"$build/tests/engine/engine_bench"
