#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz (clang's libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs them side by
# side for the given number of seconds each, starting from the seed corpus
# in the repository and what earlier runs added (kept in build/fuzz/).
#   tools/fuzz.sh [seconds] [target...]     default: 30 s, every target
# Prints one line per target with its executions and coverage, and fails
# when a target found a crash, a leak or a hang; the input that shows it is
# left in build/fuzz/findings/ (replay: build/fuzz/<target> <file>).
set -uo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(client_answers server_requests)
dir=build/fuzz
mkdir -p "$dir/findings"

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if ! CC=clang CXX=clang++ cmake -S tests/fuzz -B "$dir" "${launcher[@]}" >"$dir.configure.log" 2>&1 ||
   ! cmake --build "$dir" -j 2 >"$dir.build.log" 2>&1; then
  cat "$dir.configure.log" "$dir.build.log" | tail -n 40
  echo "fuzz: the build failed"
  exit 1
fi

pids=()
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus-$t"
  # New inputs go to the first folder; the repository's seeds stay as they are.
  "$dir/$t" -max_total_time="$secs" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$t-" "$dir/corpus-$t" "tests/fuzz/corpus/${t%%_*}" \
    >"$dir/$t.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  wait "${pids[$i]}"
  rc=$?
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$dir/$t.log" | tail -n 1)
  cov=$(grep -oE "cov: [0-9]+ ft: [0-9]+" "$dir/$t.log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    echo "$t: ${runs:-0} executions, ${cov:-no coverage}, passed"
  else
    grep -E "^==[0-9]+==ERROR|^SUMMARY|Test unit written|ERROR: libFuzzer" "$dir/$t.log" | head -n 6
    echo "$t: ${runs:-0} executions, ${cov:-no coverage}, FAILED (log: $dir/$t.log)"
    status=1
  fi
done
exit $status
