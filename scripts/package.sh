#!/usr/bin/env bash
# Builds the Debian packages: libkep-vc1, libkep-vc-dev, kep-tools,
# kep-platform and (PC only) kep-vcam.
# Usage: scripts/package.sh [amd64|armhf]...   (default: amd64)
# Packages land in build-pkg-<arch>/packages/. Each architecture gets a
# build of its own, configured for /usr and without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc)
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64)

for arch in "${arches[@]}"; do
  dir=build-pkg-$arch
  case "$arch" in
    amd64) extra=() ;;
    armhf) extra=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake") ;;
    *) echo "unknown architecture: $arch"; exit 2 ;;
  esac
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKEP_BUILD_TESTS=OFF \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        "${extra[@]}" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs" --target kep_installables >"$dir/build.log" 2>&1 || { grep -E 'error|Error' "$dir/build.log" | head -n 40; exit 1; }
  rm -f "$dir"/packages/*.deb
  (cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log"; exit 1; }
  for deb in "$dir"/packages/*.deb; do
    printf '%-40s %s\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
  done
done
