#!/usr/bin/env bash
# The full fault sweep: every video pipeline, every request it makes, k over
# the first occurrences, those around the restart and the teardown, every
# fault kind the virtual platform offers; prints runs and classes per
# pipeline, request and fault kind, and every failed run.
# Usage: scripts/fault_sweep.sh [host|asan|armhf] [fault_sweep options]
#        (--every N keeps one run in N, --pipeline TEXT only matching ones,
#        --frames N, --timeout MS). The flavour's build is made first.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=host
case "${1:-}" in host|asan|armhf) flavour=$1; shift ;; esac
case "$flavour" in
  host)  dir=build; extra=() ;;
  asan)  dir=build-asan; extra=(-DKEP_SANITIZE=ON) ;;
  armhf) dir=build-armhf; extra=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake") ;;
esac
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" -DKEP_WERROR=ON "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fault_sweep >/dev/null

run=()
if [ "$flavour" = armhf ]; then
  run=(qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
elif [ "$flavour" = asan ]; then
  export ASAN_OPTIONS=verify_asan_link_order=0 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
fi
exec "${run[@]}" "$dir/tests/fault_sweep" "$@"
