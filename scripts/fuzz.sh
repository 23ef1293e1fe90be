#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each over its seeds.
#   scripts/fuzz.sh [seconds] [target...]   by hand: 300 seconds each by default
#   scripts/fuzz.sh --ci                    about 20 seconds each, for the test run
#   scripts/fuzz.sh --seeds                 rewrites tests/fuzz/corpus with the package writer
# Fails when any target finds something; the input that shows it is left in
# build/fuzz/findings, beside each target's log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
if [ "${1:-}" = "--ci" ]; then
  seconds=20
  shift
elif [ "${1:-}" = "--seeds" ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j2 --target fuzz_seeds
  # The signature seeds are real certificate tables, signed once with
  # osslsigncode and a throwaway certificate; the writer cannot make them.
  find tests/fuzz/corpus -mindepth 1 -maxdepth 1 ! -name signature -exec rm -rf {} +
  build/fuzz/tests/fuzz/fuzz_seeds tests/fuzz/corpus
  exit 0
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(package version_list uninstall_list text install_names update inspect signature path_parts)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

bin=build/fuzz/tests/fuzz
work=build/fuzz/corpus
findings=build/fuzz/findings
mkdir -p "$findings"
# The targets make scratch folders per input; memory is faster than disk.
scratch=$(mktemp -d "${FUZZ_TMPDIR:-/dev/shm}/krnfuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  echo "== fuzz_$t: $seconds s"
  # New inputs go to the first folder; the committed seeds are only read.
  rc=0
  "$bin/fuzz_$t" "$work/$t" "tests/fuzz/corpus/$t" -max_total_time="$seconds" \
    -timeout=20 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$findings/$t-" >"$findings/$t.log" 2>&1 || rc=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' "$findings/$t.log" || true
  if [ $rc -ne 0 ]; then
    grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$findings/$t.log" || true
    echo "fuzz_$t: FINDING (see $findings/$t.log)"
    status=1
  fi
done
exit $status
