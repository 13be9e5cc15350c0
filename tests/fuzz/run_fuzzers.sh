#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a fixed time each.
#   tests/fuzz/run_fuzzers.sh BUILD_DIR SECONDS
# New inputs go to BUILD_DIR/corpus/<target> (the seeds under
# tests/fuzz/corpus/<target> are only read), findings to
# BUILD_DIR/artifacts/. Exits 1 on the first target that finds anything.
set -u
build=${1:?build directory}
seconds=${2:?seconds per target}
source_dir=$(cd "$(dirname "$0")" && pwd)
targets=$(cat "$build/tests/fuzz/targets.txt")
mkdir -p "$build/artifacts"
total_runs=0
passed=0
for target in $targets; do
  corpus="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$corpus"
  # A dictionary of the words a target's format is made of, where there is one.
  dict=()
  [ -f "$source_dir/$target.dict" ] && dict=(-dict="$source_dir/$target.dict")
  "$build/tests/fuzz/$target" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$corpus" "$source_dir/corpus/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n "s/^stat::number_of_executed_units: *//p" "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    echo "$target: FINDING after ${runs:-?} runs (exit $status); last lines of $log:"
    tail -n 30 "$log"
    echo "reproduce: $build/tests/fuzz/$target $build/artifacts/$target-*"
    echo "fuzzing: $passed passed, 1 failed"
    exit 1
  fi
  total_runs=$((total_runs + ${runs:-0}))
  passed=$((passed + 1))
  echo "$target: ${runs:-?} runs in ${seconds} s, $(ls "$corpus" | wc -l) inputs in its corpus, no finding"
done
echo "$total_runs runs in total"
echo "fuzzing: $passed passed, 0 failed"
