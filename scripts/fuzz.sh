#!/usr/bin/env bash
# Runs every libFuzzer target for the given number of seconds on its seed corpus.
# Fails when a target finds a crash; prints the executions of each run.
set -euo pipefail
seconds=${1:-20}
top=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$top"/build/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work="$top/build/fuzz/corpus-$name"
  mkdir -p "$work"
  seeds="$top/fuzz/seeds"
  log="$top/build/fuzz/$name.log"
  if "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$top/build/fuzz/$name-" \
       -dict="$top/fuzz/json.dict" "$work" "$seeds" >"$log" 2>&1; then
    runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "fuzz: $name ran $runs inputs in ${seconds}s, no crash"
  else
    echo "fuzz: $name FAILED; see $log"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
