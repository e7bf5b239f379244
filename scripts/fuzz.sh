#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a chosen time, starting from
# its committed corpus (fuzz/corpus/<name> for target <name>_fuzz). New inputs
# go to build-fuzz/corpus/<target>; crashes leave their input in
# build-fuzz/artifacts/.
# Usage: scripts/fuzz.sh [-r runs] [seconds per target (default 60)] [target...]
#        (default: every target that has a corpus); with -r each target runs
#        that many inputs, however long it takes, unless seconds is given too.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=""
if [ "${1:-}" = "-r" ]; then
  runs=$2
  shift 2
fi
if [ -n "$runs" ] && ! [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=0
else
  seconds=${1:-60}
  [ $# -gt 0 ] && shift
fi
dir=build-fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=()
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")_fuzz"); done
fi

mkdir -p "$dir"
# Runs of several targets may start side by side: one builds at a time.
exec 9>"$dir/.build.lock"
flock 9
CC=clang CXX=clang++ cmake -S . -B "$dir" -DKEP_FUZZ=ON -DKEP_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j2 --target "${targets[@]}" >"$dir/build.log" 2>&1 || { tail -n 40 "$dir/build.log"; exit 1; }
exec 9>&-

mkdir -p "$dir/artifacts"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t"
  log="$dir/$t.log"
  limits=(-max_total_time="$seconds")
  [ -n "$runs" ] && limits+=(-runs="$runs")
  start=$SECONDS
  if "$dir/fuzz/$t" "${limits[@]}" -close_fd_mask=3 -max_len=20000 -print_final_stats=1 \
       -artifact_prefix="$dir/artifacts/$t-" "$dir/corpus/$t" "fuzz/corpus/${t%_fuzz}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  echo "$t: ${done_runs:-?} executions in $((SECONDS - start))s, $result"
  [ "$result" = ok ] || tail -n 30 "$log"
done
exit $status
