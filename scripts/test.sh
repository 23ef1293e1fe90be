#!/usr/bin/env bash
# Builds the four configurations and runs every test suite: native (plain and
# sanitized), the win32 image checks, and the win64 twin under Wine and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
export LANG=ja_JP.UTF-8
ctest --preset native -j2
ctest --preset native-asan -j2
# Every fuzz target for about 20 seconds over its seeds; any finding fails.
bash scripts/fuzz.sh --ci
ctest --preset win32
# One X server and one Wine prefix for the whole win64 run.
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset win64 || status=$?
WINEPREFIX=$PWD/build/win64/wineprefix wineserver -k 2>/dev/null || true
exit $status
