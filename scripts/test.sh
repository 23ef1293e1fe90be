#!/usr/bin/env bash
# Builds every configuration and runs every test suite: native (plain and
# sanitized), the win32 image checks, the win64 twin under Wine, and the
# win32 deliverables themselves under 32-bit Wine (driven by the win32-tests
# build), all Wine runs under one Xvfb.
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
status=0
rm -f build/win64/wineprefix.restarts build/win32-tests/wineprefix.restarts
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  status=0
  ctest --preset win64 || status=1
  ctest --preset win32-tests || status=1
  exit $status' || status=$?
for build in win64 win32-tests; do
  WINEPREFIX=$PWD/build/$build/wineprefix wineserver -k 2>/dev/null || true
  if [ -s build/$build/wineprefix.restarts ]; then
    echo "Wine ended these suites before their main; each was started again:"
    cat build/$build/wineprefix.restarts
  fi
done
exit $status
