#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 5)
# on its seed corpus. Any finding fails the run; the crashing input is left in
# the build folder (crash-*) to be kept as a regression case.
# Usage: scripts/fuzz.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
seconds=${1:-5}
build=${2:-build-fuzz}
cd "$(dirname "$0")/.."
scripts/deps.sh fuzz
cmake --preset fuzz -B "$build"
targets=(filter numbers cli_args executable autoline settings protocol)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
status=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  if (cd "$build/fuzz" && ./fuzz_$t -max_total_time="$seconds" -print_final_stats=1 \
        "$work" "$PWD/../../fuzz/corpus/$t" >"$work/log" 2>&1); then
    runs=$(grep -o 'number_of_executed_units: [0-9]*' "$work/log" | awk '{print $2}')
    echo "fuzz_$t: ${runs:-?} executions in ${seconds}s, no findings"
  else
    echo "fuzz_$t: FINDING"; tail -n 30 "$work/log"; status=1
  fi
  rm -rf "$work"
done
exit $status
