#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds every C example in
# examples/ against the installed files only (one way: pkg-config or cmake)
# and runs each with -h to prove it loads the installed libkep_vc.so.1.
# Usage: examples_out_of_tree.sh pkg-config|cmake BUILD_DIR SOURCE_DIR SCRATCH CC
set -euo pipefail
way=$1 build=$2 src=$3 scratch=$4 cc=$5
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$prefix" --component runtime >/dev/null
cmake --install "$build" --prefix "$prefix" --component dev >/dev/null

# Nothing of the build tree may leak into the user's build.
export CPATH= LIBRARY_PATH=
libdir=$(dirname "$(find "$prefix" -name 'libkep_vc.so.1' | head -n1)")
[ -n "$libdir" ] || { echo "no libkep_vc.so.1 installed under $prefix"; exit 1; }

examples=("$src"/examples/*.c)
built=()
case "$way" in
  pkg-config)
    export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
    flags=$(pkg-config --cflags --libs kep_vc)
    for word in $flags; do
      case "$word" in
        -I"$prefix"/*|-L"$prefix"/*|-l*) ;;
        *) echo "pkg-config gives '$word', which is not under $prefix: $flags"; exit 1 ;;
      esac
    done
    for c in "${examples[@]}"; do
      exe=$scratch/$(basename "$c" .c)
      # shellcheck disable=SC2086
      "$cc" -std=c99 -D_POSIX_C_SOURCE=200809L -Wall -Werror -o "$exe" "$c" $flags
      built+=("$exe")
    done
    ;;
  cmake)
    cmake -S "$src/examples" -B "$scratch/build" -DCMAKE_C_COMPILER="$cc" \
          -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$scratch/configure.log" 2>&1 \
      || { cat "$scratch/configure.log"; exit 1; }
    cmake --build "$scratch/build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
    for c in "${examples[@]}"; do
      built+=("$scratch/build/$(basename "$c" .c)")
    done
    ;;
  *) echo "unknown way: $way"; exit 2 ;;
esac

for exe in "${built[@]}"; do
  [ -x "$exe" ] || { echo "$exe was not built"; exit 1; }
  # The example must resolve libkep_vc.so.1 from the prefix, not the build.
  lib=$(LD_LIBRARY_PATH=$libdir ldd "$exe" | sed -n 's/.*libkep_vc\.so\.1 => \([^ ]*\).*/\1/p')
  case "$lib" in
    "$prefix"/*) ;;
    *) echo "$exe loads libkep_vc.so.1 from '$lib', not from $prefix"; exit 1 ;;
  esac
  out=$(LD_LIBRARY_PATH=$libdir "$exe" -h 2>&1) || { echo "$exe -h failed: $out"; exit 1; }
  case "$out" in
    Usage:*) ;;
    *) echo "$exe -h printed no usage: $out"; exit 1 ;;
  esac
done
echo "$way: built and ran ${#built[@]} example(s) against $prefix"
