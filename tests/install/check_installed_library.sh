#!/usr/bin/env bash
# The installed header, library and pkg-config file are enough for an outside
# program, and the executable exports the core's functions itself.
set -euo pipefail
build_dir=$1
source_dir=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for f in bin/gorva include/gorva.h lib/pkgconfig/gorva.pc; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
ls "$prefix"/lib/libgorva.so* >/dev/null

# Every exported function of the core, with its type-encoded (C++) name.
exports=$(nm -D --defined-only "$prefix/bin/gorva" | c++filt)
for fn in comb_nextstep combSNP countTable_none countTable_available countTable_EM \
          calculateMeasuresAll mdrCombinationAll shellsortIndex cmp_double cmp_int sign \
          init_rng int32_rand permuteIndex permuteValuesByIndex makeIndex permuteValues \
          sampleCombSNP generateNull quantile pvalue pvalueVector computeOneTailedSignTest \
          signTestSummation combinations product factorial; do
  grep -q -E " T ${fn}\(" <<<"$exports" || { echo "executable does not export $fn"; exit 1; }
done
mangled=$(nm -D --defined-only "$prefix/bin/gorva")
grep -q ' T _Z10int32_randv' <<<"$mangled" || { echo "names are not C++ names"; exit 1; }
if grep -q say_hello <<<"$exports"; then
  echo "say_hello must stay internal"; exit 1
fi

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
c++ -std=c++20 -Wall -Wextra -o "$prefix/null_distribution" "$source_dir/examples/null_distribution.cpp" \
    $(pkg-config --cflags --libs gorva)
output=$(LD_LIBRARY_PATH="$prefix/lib" "$prefix/null_distribution" "$source_dir/tests/data/gametes-2way-100x2000.txt" 50)
echo "$output"
[ "$(wc -l <<<"$output")" -eq 4 ] || { echo "expected a header and three pairs"; exit 1; }
grep -q -E '^N0 N1,[0-9.]+,[0-9.]+$' <<<"$output"
