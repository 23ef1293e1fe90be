#!/usr/bin/env bash
# Builds the native engine benchmark and runs it: install throughput with each
# digest path against cp and a plain read/write loop over the same bytes, with
# and without flushing; the digest alone per path, also with eight vector
# registers as a stand-in for the 32-bit program; the uninstall-list merge
# time. Figures only. Usage: bench.sh [rounds] (default 3; best of them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-build/native}
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target engine_bench
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/tests/engine/engine_bench" "$@"
