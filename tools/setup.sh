#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine, then the
# package itself, built with its vignette. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(r-base-dev r-cran-rcpp r-cran-testthat r-cran-callr r-cran-processx r-cran-withr
          r-cran-cli r-cran-ps r-cran-sf r-cran-terra r-cran-stars r-cran-knitr r-cran-rmarkdown r-cran-roxygen2
          r-cran-lintr pandoc qpdf g++ make cmake ccache googletest libgtest-dev nlohmann-json3-dev valgrind
          clang clang-format libclang-rt-14-dev libfuzzer-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The package is built as a source tarball (which runs the vignette against
# the bundled server, so that vignette("getting-started") is there), then
# that tarball is installed, as a user's install from a repository would.
# Our own builds are held to -Wall -Wextra (tools/Makevars.dev); the package
# itself ships only portable flags.
root=$(pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orvanelink-setup.XXXXXX")
trap 'rm -rf "$work"' EXIT
export R_MAKEVARS_USER="$root/tools/Makevars.dev" MAKEFLAGS=-j2
if ! (cd "$work" && R CMD build "$root") >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  echo "setup: R CMD build failed"
  exit 1
fi
tarball=$(ls "$work"/orvanelink_*.tar.gz)
log="$work/install.log"
R CMD INSTALL "$tarball" >"$log" 2>&1 || { cat "$log"; exit 1; }
if grep -q "warning:" "$log"; then
  grep -B2 -A4 "warning:" "$log"
  echo "setup: the build has compiler warnings"
  exit 1
fi
echo "setup: orvanelink installed, with its vignette"
