#!/usr/bin/env bash
# Runs one Windows program under Wine: the CTest emulator of the Windows test
# builds. A 64-bit prefix made once wine32 is installed has syswow64, and
# wine64 hands a 32-bit program to the 32-bit loader, so one prefix runs both.
# Usage: wine-run.sh PREFIX program.exe [args...]
# One prefix per build folder, created once (under a lock, since ctest may
# start several tests at once) and one persistent wineserver, so that each
# test start costs about a second, not ten.
set -u
prefix=$1; shift
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
  elif [ ! -d "$prefix/drive_c/windows/syswow64" ] && [ -x /usr/lib/wine/wine ]; then
    # Made before wine32 was installed: give it the 32-bit half.
    /usr/lib/wine/wine64 wineboot -u >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
  fi
  # Keep the server alive between test programs (a no-op when it runs
  # already), and start the prefix's background processes here with no tie to
  # the caller's output: started by a test program they would inherit CTest's
  # pipe, and CTest would wait for them until the server ends. fd 9 is closed
  # for them, or they would hold the lock for good.
  wineserver -p120 </dev/null >/dev/null 2>&1 9>&-
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 9>&-
) 9>"$prefix.lock"
[ -n "${KRN_WINE_RESTART_UNSTARTED:-}" ] || exec /usr/lib/wine/wine64 "$@"

# A test suite prints a line the moment it reaches main. Rarely, Wine ends a
# program before that with a failure status and not a byte of output (seen
# once in CI, never reproduced), which says nothing about the code under test:
# start such a suite once more, and note it in PREFIX.restarts, which
# scripts/test.sh shows.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  /usr/lib/wine/wine64 "$@" >"$out" 2>"$err"
  status=$?
  if [ $status -eq 0 ] || [ -s "$out" ] || [ -s "$err" ]; then break; fi
  note="$(date -u +%FT%TZ) ${1##*/} ended with status $status before reaching main (start $attempt)"
  echo "$note" >>"$prefix.restarts"
  echo "wine-run: $note" >>"$err"
done
cat "$out"
cat "$err" >&2
exit $status
