#!/usr/bin/env bash
# One whole run of the program under valgrind's memcheck: no invalid read or
# write, no use of uninitialised memory, no definite leak, and the same
# report as the same run outside valgrind (times aside).
#   tests/install/valgrind_run.sh GORVA_EXECUTABLE SOURCE_DIR
# Exit status 77 (skipped) when valgrind is not installed.
set -euo pipefail
gorva=$1
source_dir=$2
if ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed; skipped"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The real data set (100 markers x 2000 samples) at orders 2 and 3, with
# two threads so that the workers run too: a few seconds under memcheck.
# Both runs write report.txt in a directory of their own, so the reports
# compare whole.
cp "$source_dir/tests/data/gametes-2way-100x2000.txt" "$work/data.txt"
mkdir "$work/plain" "$work/valgrind"
args=(--in ../data.txt --out report.txt --order 2-3 --top 5 --threads 2)

(cd "$work/plain" && "$gorva" "${args[@]}" >/dev/null)
(cd "$work/valgrind" &&
 valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
          --track-origins=yes --quiet \
          "$gorva" "${args[@]}" >"$work/stdout" 2>"$work/stderr") || {
  echo "valgrind found errors:"
  cat "$work/stderr"
  exit 1
}

# Everything but the time must agree.
strip() { grep -v -e '^Total time,' "$1"; }
if ! diff <(strip "$work/plain/report.txt") <(strip "$work/valgrind/report.txt"); then
  echo "the report under valgrind differs from the plain run"
  exit 1
fi
grep -q '^<<3-Order Best Combination Sets>>$' "$work/valgrind/report.txt"
echo "valgrind: clean run, same report"
