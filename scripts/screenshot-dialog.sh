#!/usr/bin/env bash
# Takes a picture of update.exe's progress dialog in the middle of an update:
# makes a demo patch and installation with the win64 test driver, runs the
# patch, and while the driver holds it still grabs the X screen and crops it
# to the dialog. Runs itself under Xvfb when no display is set.
# Usage: scripts/screenshot-dialog.sh [WIN64_BUILD_DIR] [OUT.png]
# Exit status 77 (a skip for CTest) when xwd or convert is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/win64}" && pwd)
out=${2:-$build/progress-dialog.png}

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$build" "$out"
fi
command -v xwd >/dev/null && command -v convert >/dev/null || { echo "xwd or convert missing"; exit 77; }

wine() { "$root/cmake/wine-run.sh" "$build/wineprefix" "$@"; }
driver=$build/tests/e2e/uidriver.exe
demo=$(mktemp -d "${TMPDIR:-/tmp}/krn-demo.XXXXXX")
log=$demo.log
trap 'rm -rf "$demo" "$log"' EXIT
windemo="Z:${demo//\//\\}"

wine "$driver" make-demo "$windemo" --size-mb 96
wine "$driver" run "$windemo\\update.exe" --answer yes --pause-ms 4000 >"$log" 2>&1 &
runner=$!
for _ in $(seq 1 600); do
  grep -q '^paused' "$log" && break
  kill -0 $runner 2>/dev/null || break
  sleep 0.1
done
grep -q '^paused' "$log" || { cat "$log"; echo "the dialog was not caught"; exit 1; }
sleep 0.5
rect=$(sed -n 's/^dialog rect=//p' "$log" | tr -d '\r' | head -1)
IFS=, read -r x y w h <<<"$rect"
m=12 # a margin around the window
xwd -root -silent | convert xwd:- -crop "$((w + 2 * m))x$((h + 2 * m))+$((x - m))+$((y - m))" +repage "$out"
wait $runner
cat "$log"
grep -q '^exit=0x00000000' "$log"
echo "screenshot: $out"
