#!/usr/bin/env bash
# Builds the source tarball in a temporary directory (the vignette is run
# against the bundled server on the way) and runs "R CMD check --no-manual"
# on it, as CRAN would. Fails when the build fails
# or the check reports any ERROR or WARNING; prints the check's summary
# (NOTEs included) either way. The checkout itself is left untouched.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The flags of our own builds (and ccache, which finds the objects setup's
# install compiled): the check reads the same warnings.
export R_MAKEVARS_USER="$root/tools/Makevars.dev"
work=$(mktemp -d "${TMPDIR:-/tmp}/orvanelink-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== R CMD build"
# Building the vignette installs the package once more: two cores at most.
if ! (cd "$work" && MAKEFLAGS=-j2 R CMD build "$root") >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  echo "check-package: R CMD build failed"
  exit 1
fi
tarball=$(ls "$work"/orvanelink_*.tar.gz 2>/dev/null | head -n 1)
if [ -z "$tarball" ]; then
  cat "$work/build.log"
  echo "check-package: no tarball was built"
  exit 1
fi

echo "== R CMD check --no-manual $(basename "$tarball")"
# Two cores at most; the check itself needs no network.
(cd "$work" && MAKEFLAGS=-j2 _R_CHECK_FORCE_SUGGESTS_=false \
  R CMD check --no-manual "$tarball") >"$work/check.log" 2>&1
status=$?
log="$work/orvanelink.Rcheck/00check.log"
[ -f "$log" ] || log="$work/check.log"

# The R tests ran inside the check: report their counts for the test runner.
rout=$(ls "$work"/orvanelink.Rcheck/tests/testthat.Rout* 2>/dev/null | head -n 1)
if [ -n "$rout" ]; then
  counts=$(grep -E "\[ FAIL [0-9]+ \| WARN [0-9]+ \| SKIP [0-9]+ \| PASS [0-9]+ \]" "$rout" | tail -n 1)
  if [ -n "$counts" ]; then
    nfail=$(sed -E 's/.*FAIL ([0-9]+).*/\1/' <<<"$counts")
    npass=$(sed -E 's/.*PASS ([0-9]+).*/\1/' <<<"$counts")
    echo "R tests: $npass passed, $nfail failed"
  fi
fi

# Every flagged step with the lines that explain it.
awk '/^\* .*\.\.\. (NOTE|WARNING|ERROR)/ {show = 1; print; next}
     /^\* / {show = 0}
     show {print}' "$log"
if grep -qE "^\* .*\.\.\. *(ERROR|WARNING)|^Status: .*(ERROR|WARNING)" "$log" || [ "$status" -ne 0 ]; then
  # Failing tests or examples leave their output beside the log.
  for f in "$work"/orvanelink.Rcheck/tests/*.Rout.fail; do
    [ -f "$f" ] && { echo "---- $(basename "$f") (last lines)"; tail -n 40 "$f"; }
  done
  if grep -q "^\* checking examples \.\.\. ERROR" "$log"; then
    echo "---- orvanelink-Ex.Rout (last lines)"
    tail -n 40 "$work/orvanelink.Rcheck/orvanelink-Ex.Rout"
  fi
  tail -n 3 "$log"
  echo "check-package: FAILED"
  exit 1
fi
tail -n 1 "$log"
echo "check-package: OK"
