#!/usr/bin/env bash
# Runs every test: the client library's C++ tests (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer), a short run of each fuzz
# target, checks of the checkout (the layout of the sources, help pages as
# roxygen2 makes them, every source in src/Makevars) and of the installed package (its vignette), then
# R CMD check, which runs the examples and the R tests. Ends with one summary
# line "N passed, N failed" (the check itself counts as one, and so do each
# fuzz target and each of the other checks).
# For a quick run of the R tests alone against the installed package:
#   Rscript tools/run-r-tests.R
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=2
passed=0
failed=0
status=0

count_ctest() { # adds ctest's counts from its log to the totals
  local log=$1 line total nfail
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
}

# Compiles go through ccache when it is there (tools/setup.sh installs it):
# a second run, or the package's compiles after setup's, take seconds.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

run_cpp() { # name, extra cmake args...
  local name=$1; shift
  local dir="$root/build/cpp-$name"
  echo "== C++ tests ($name)"
  if ! cmake -S tests/cpp -B "$dir" "${launcher[@]}" "$@" >"$dir.configure.log" 2>&1 ||
     ! cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1; then
    cat "$dir.configure.log" "$dir.build.log" 2>/dev/null | tail -n 40
    echo "C++ build ($name) failed"
    failed=$((failed + 1)); status=1; return
  fi
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 2>&1 | tee "$dir.ctest.log" | tail -n 15
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count_ctest "$dir.ctest.log"
}

mkdir -p build
phase() { echo "   ($(( SECONDS - phase_start )) s)"; phase_start=$SECONDS; }
phase_start=$SECONDS

# Checks of the checkout and of the installed package, one count each.
check() { # title, command...
  local title=$1; shift
  echo "== $title"
  "$@" 2>&1 | tail -n 20
  if [ "${PIPESTATUS[0]}" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
}
# The layout first: it takes seconds, and a file out of it fails the run.
check "Layout of the sources" tools/check-style.sh
phase

run_cpp plain -DCMAKE_BUILD_TYPE=RelWithDebInfo; phase
run_cpp sanitize -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON; phase

# The fuzz targets side by side for 30 s, from the seed corpus (longer runs:
# tests/fuzz/README.md).
echo "== Fuzzing"
tools/fuzz.sh 30 2>&1 | tee "$root/build/fuzz.log"
fuzz_passed=$(grep -c ", passed$" "$root/build/fuzz.log")
fuzz_failed=$((2 - fuzz_passed)) # a target that did not even run failed too
passed=$((passed + fuzz_passed))
failed=$((failed + fuzz_failed))
[ "$fuzz_failed" -eq 0 ] || status=1
phase

# The help pages and NAMESPACE are what roxygen2 makes of the comments in R/,
# and src/Makevars names every source.
check "Generated help pages" tools/check-generated.sh
check "Sources in src/Makevars" tools/check-makevars.sh
# What tools/setup.sh installed (the README's first command) has the vignette.
check "Vignette installed" Rscript -e '
  doc <- system.file("doc", "getting-started.html", package = "orvanelink")
  items <- utils::vignette(package = "orvanelink")$results[, "Item"]
  if (!nzchar(doc) || !"getting-started" %in% items) {
    cat("the installed orvanelink has no vignette getting-started: run tools/setup.sh\n")
    quit(status = 1)
  }
  cat("vignette(\"getting-started\", package = \"orvanelink\") is installed:", doc, "\n")'
phase

# The package check builds the tarball, installs it, runs the examples and
# the R tests (tests/testthat) against the installed copy, and must end with
# no ERROR and no WARNING.
echo "== R CMD check, with the R tests"
rlog="$root/build/r-check.log"
tools/check-package.sh >"$rlog" 2>&1
check_status=$?
grep -vE "^\s*$" "$rlog" | tail -n 25
line=$(grep -E "^R tests: [0-9]+ passed, [0-9]+ failed" "$rlog" | tail -n 1)
if [ -n "$line" ]; then
  passed=$((passed + $(sed -E 's/^R tests: ([0-9]+) passed.*/\1/' <<<"$line")))
  failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
else
  echo "no count of the R tests was found"
  failed=$((failed + 1))
fi
if [ "$check_status" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
phase

[ "$failed" -eq 0 ] || status=1
echo "$passed passed, $failed failed"
exit $status
