#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine, then the
# package itself. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(r-base-dev r-cran-rcpp r-cran-testthat r-cran-callr r-cran-processx r-cran-withr
          r-cran-cli r-cran-ps r-cran-sf r-cran-terra r-cran-stars r-cran-knitr r-cran-rmarkdown r-cran-roxygen2
          pandoc g++ make cmake googletest libgtest-dev nlohmann-json3-dev valgrind
          clang libclang-rt-14-dev libfuzzer-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Our own builds are held to -Wall -Wextra (tools/Makevars.dev); the package
# itself ships only portable flags.
log=$(mktemp)
R_MAKEVARS_USER="$PWD/tools/Makevars.dev" MAKEFLAGS=-j2 R CMD INSTALL . >"$log" 2>&1 || { cat "$log"; exit 1; }
if grep -q "warning:" "$log"; then
  grep -B2 -A4 "warning:" "$log"
  echo "setup: the build has compiler warnings"
  exit 1
fi
rm -f "$log"
echo "setup: orvanelink installed"
