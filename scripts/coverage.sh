#!/usr/bin/env bash
# Builds everything with gcc's coverage counters, runs the test suite and
# reports the line and branch coverage of middleware/vc and apps/ by file
# (gcovr). Tables: build-coverage/coverage-lines.txt and
# build-coverage/coverage-branches.txt (with the lines no test reaches);
# annotated sources: build-coverage/coverage/index.html.
# Usage: scripts/coverage.sh [ctest arguments, e.g. -R reader]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

dir=build-coverage
mkdir -p "$dir"
# -O0 keeps every source line its own code, so that the counts are exact.
# The counters must name their sources by absolute path, so no compiler
# cache may rewrite them into relative ones.
export CCACHE_DISABLE=1
cmake -S . -B "$dir" -DKEP_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER= >"$dir/configure.log" 2>&1 ||
  { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)" >"$dir/build.log" 2>&1 || { grep -E 'error' "$dir/build.log" | head -n 40; exit 1; }
# Counts from an earlier run would be added to this one's.
find "$dir" -name '*.gcda' -delete
# Objects of targets the build no longer has (renamed or removed tests) keep
# notes of older sources, which gcovr cannot merge with today's.
find "$dir" -name TargetDirectories.txt -path '*/CMakeFiles/*' -exec cat {} + >"$dir/targets.txt"
# (grep finds none when nothing is stale, which is no failure.)
{ find "$PWD/$dir" -type d -name '*.dir' -path '*/CMakeFiles/*' -prune | grep -vxFf "$dir/targets.txt" || true; } |
  xargs -r rm -rf

status=0
(cd "$dir" && ctest -j"$(nproc)" --timeout 600 "$@" >ctest.log 2>&1) || status=$?
tail -n 3 "$dir/ctest.log"

mkdir -p "$dir/coverage"
filters=(--root . --object-directory "$dir" --filter 'middleware/vc/' --filter 'apps/'
         --exclude-unreachable-branches --exclude-throw-branches)
gcovr "${filters[@]}" --json "$dir/coverage.json" --html-details "$dir/coverage/index.html"
gcovr --add-tracefile "$dir/coverage.json" --txt "$dir/coverage-lines.txt"
gcovr --add-tracefile "$dir/coverage.json" --branches --txt "$dir/coverage-branches.txt"
cat "$dir/coverage-lines.txt" "$dir/coverage-branches.txt"
# The report stands even when a test failed; the status tells.
exit $status
