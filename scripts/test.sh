#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the host build, the
# sanitizer build, the 32-bit ARM cross build under qemu-arm, and the parts
# that need only the C library against musl, a small C library as on the
# camera, on the PC and on 32-bit ARM (C-level tests only). On request,
# the ThreadSanitizer build runs the tests of the threaded parts: mdcap, the
# audio recorders, the virtual platform, the ISP, encoder and decoder streams
# and the motion detector.
# Usage: scripts/test.sh [host|asan|armhf|musl|tsan]...   (default: host asan armhf musl)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc)
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(host asan armhf musl)

passed=0
failed=0
status=0

# ctest arguments of the next flavour (a label selection), empty for all tests.
ctest_select=()

run_flavour() {
  local name=$1 dir=$2
  shift 2
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" -DKEP_WERROR=ON "$@" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"; echo "$name: configure failed"; status=1; return
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
    grep -E 'error|Error' "$dir/build.log" | head -n 40; echo "$name: build failed"; status=1; return
  fi
  echo "== $name tests"
  local out
  out=$(cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 "${ctest_select[@]}" 2>&1) || status=1
  # ctest prints failures in full and closes with its summary.
  printf '%s\n' "$out" | sed -n '/Output from these tests\|The following tests FAILED\|tests passed, \|Total Test time/,$p'
  printf '%s\n' "$out" | grep -E '^\s*[0-9]+/[0-9]+ Test .*\*\*\*' || true
  local total fails
  total=$(printf '%s\n' "$out" | sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' | tail -n1)
  fails=$(printf '%s\n' "$out" | sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' | tail -n1)
  passed=$((passed + ${total:-0} - ${fails:-0}))
  failed=$((failed + ${fails:-0}))
}

for f in "${flavours[@]}"; do
  case "$f" in
    host)  run_flavour host build ;;
    asan)  run_flavour asan build-asan -DKEP_SANITIZE=ON ;;
    armhf) run_flavour armhf build-armhf -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" ;;
    musl)  run_flavour musl build-musl -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-musl.cmake"
           run_flavour musl-armhf build-musl-armhf -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-musl-armhf.cmake" ;;
    tsan)  ctest_select=(-L '^(mdcap|audio|platform|vc|encoder|decoder)$')
           run_flavour tsan build-tsan -DKEP_SANITIZE=thread
           ctest_select=() ;;
    *) echo "unknown flavour: $f"; exit 2 ;;
  esac
done

echo "all: $passed passed, $failed failed"
exit $status
