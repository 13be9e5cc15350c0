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

# The Python module, when built, shows the interpreter its entry point only.
for module in "$prefix"/lib/python3*/dist-packages/gorva*.so; do
  [ -e "$module" ] || continue
  symbols=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TWDBRVi]$/ {print $3}')
  [ "$symbols" = PyInit_gorva ] || { echo "$module exports more than PyInit_gorva:"; echo "$symbols"; exit 1; }
done

# The outside caller's null distribution of a few pairs, run against the
# library installed under the root $1 (its lib folder $2).
check_caller() {
  local binary=$1 libdir=$2
  local output
  output=$(LD_LIBRARY_PATH="$libdir" "$binary" "$source_dir/tests/data/gametes-2way-100x2000.txt" 50)
  [ "$(wc -l <<<"$output")" -eq 4 ] || { echo "$binary: expected a header and three pairs:"; echo "$output"; exit 1; }
  grep -q -E '^N0 N1,[0-9.]+,[0-9.]+$' <<<"$output" || { echo "$binary: unexpected output:"; echo "$output"; exit 1; }
}

# pkg-config's folders, made absolute, must be the install tree's own.
check_pkg_config() {
  local root=$1 libdir=$2
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  [ "$(realpath -m "$(pkg-config --variable=includedir gorva)")" = "$root/include" ] ||
    { echo "gorva.pc under $root: includedir is $(pkg-config --variable=includedir gorva)"; exit 1; }
  [ "$(realpath -m "$(pkg-config --variable=libdir gorva)")" = "$libdir" ] ||
    { echo "gorva.pc under $root: libdir is $(pkg-config --variable=libdir gorva)"; exit 1; }
  c++ -std=c++20 -Wall -Wextra -o "$root/null_distribution" "$source_dir/examples/null_distribution.cpp" \
      $(pkg-config --cflags --libs gorva)
  check_caller "$root/null_distribution" "$libdir"
}
check_pkg_config "$prefix" "$prefix/lib"

# A distribution's layout: configured for /usr (the library in the
# multiarch folder on Debian), staged under DESTDIR, found by pkg-config and
# by find_package(gorva).
usr_build="$prefix/usr-build"
stage="$prefix/stage"
cmake -S "$source_dir" -B "$usr_build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DGORVA_BUILD_TESTS=OFF -DGORVA_BUILD_BENCH=OFF -DGORVA_PYTHON=OFF >/dev/null
cmake --build "$usr_build" --target gorva -j 2 >/dev/null
DESTDIR="$stage" cmake --install "$usr_build" --component library >/dev/null
usr_libdir=$(dirname "$(find "$stage/usr" -name 'libgorva.so' -print -quit)")
check_pkg_config "$stage/usr" "$usr_libdir"
[ ! -e "$stage/usr/bin/gorva" ] || { echo "the library component installed the program"; exit 1; }

cmake -S "$source_dir/tests/install/outside_caller" -B "$prefix/caller-build" \
      -DCMAKE_PREFIX_PATH="$stage/usr" -DEXAMPLE_SOURCE="$source_dir/examples/null_distribution.cpp" >/dev/null
cmake --build "$prefix/caller-build" >/dev/null
check_caller "$prefix/caller-build/null_distribution" "$usr_libdir"
echo "installed under a prefix and staged for /usr: pkg-config and find_package(gorva) both work"
