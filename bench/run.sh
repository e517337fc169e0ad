#!/usr/bin/env bash
# Builds and runs the transfer benchmark (optimised client and reference
# server from the sources). Extra arguments go to the benchmark, e.g.
#   bench/run.sh --n 1000000 --repeat 5
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
exec "$build/transfer_bench" --server "$build/VEKserver" --project "$root/inst/extdata/sample_project" "$@"
