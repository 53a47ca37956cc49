#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a set time and reports how many
# inputs each executed.  Usage: run-fuzz.sh BUILD_DIR SECONDS_PER_TARGET
# The working corpus of each target lives in BUILD_DIR/fuzz/corpus/NAME (kept
# between runs, seeded from the project's files); an input that crashes a target
# is saved under fuzz/regressions/NAME/, where the ordinary test run replays it.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
summary=""
for name in $(cat "$build/fuzz/targets.txt"); do
  corpus="$build/fuzz/corpus/$name"
  mkdir -p "$corpus" "$root/fuzz/regressions/$name"
  while read -r seed; do
    [ -n "$seed" ] || continue
    if [ -d "$seed" ]; then find "$seed" -type f -exec cp -n {} "$corpus/" \; ; else cp -n "$seed" "$corpus/"; fi
  done < "$build/fuzz/seeds_$name.txt"
  cp -n "$root/fuzz/regressions/$name"/* "$corpus/" 2>/dev/null || true
  echo "== fuzz_$name: $seconds s"
  log="$build/fuzz/fuzz_$name.log"
  if "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$root/fuzz/regressions/$name/" "$corpus" > "$log" 2>&1; then
    result="no finding"
  else
    result="FINDING (see $log and fuzz/regressions/$name/)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=$(printf '%-12s %12s executions, %s' "$name" "${runs:-?}" "$result")$'\n'
done
echo
echo "$summary"
exit $status
