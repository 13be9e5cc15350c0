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

# Exactly the core's functions are exported, by the program and by the
# library, under their type-encoded (C++) names; the list comes from the
# GORVA_EXPORT marks of the public header.
expected=$(sort "$build_dir/exported-functions.txt")
[ "$(wc -l <<<"$expected")" -eq 27 ] || { echo "the header marks $(wc -l <<<"$expected") functions, not 27"; exit 1; }
for binary in "$prefix/bin/gorva" "$prefix"/lib/libgorva.so; do
  functions=$(nm -D --defined-only "$binary" | awk '$2 == "T" || $2 == "W" {print $3}' | c++filt | sed 's/(.*//' | sort)
  if [ "$functions" != "$expected" ]; then
    echo "$binary exports other functions than the core's:"; diff <(echo "$expected") <(echo "$functions"); exit 1
  fi
done
grep -q ' T _Z10int32_randv' <(nm -D --defined-only "$prefix/bin/gorva") || { echo "names are not C++ names"; exit 1; }

# The installed program runs from a non-default prefix without help.
"$prefix/bin/gorva" --version | grep -q '^GORVA ' || { echo "the installed program does not start"; exit 1; }

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
c++ -std=c++20 -Wall -Wextra -o "$prefix/null_distribution" "$source_dir/examples/null_distribution.cpp" \
    $(pkg-config --cflags --libs gorva)
output=$(LD_LIBRARY_PATH="$prefix/lib" "$prefix/null_distribution" "$source_dir/tests/data/gametes-2way-100x2000.txt" 50)
echo "$output"
[ "$(wc -l <<<"$output")" -eq 4 ] || { echo "expected a header and three pairs"; exit 1; }
grep -q -E '^N0 N1,[0-9.]+,[0-9.]+$' <<<"$output"
