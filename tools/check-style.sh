#!/usr/bin/env bash
# Checks the layout of the sources: C and C++ as .clang-format says (the
# tree was formatted once; "clang-format -i FILE" puts a file right), R
# within the width .lintr sets. Prints each file that differs and fails.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

mapfile -t cfiles < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | grep -vE '/(corpus|extdata)/')
if ! command -v clang-format >/dev/null; then
  echo "clang-format is missing: run tools/setup.sh"
  status=1
else
  bad=$(clang-format --dry-run -Werror "${cfiles[@]}" 2>&1 | grep -E ": error:" | sed -E 's/:[0-9]+:[0-9]+: error:.*//' | sort -u)
  if [ -n "$bad" ]; then
    sed 's/$/: not formatted (clang-format -i FILE)/' <<<"$bad"
    status=1
  else
    echo "C/C++: ${#cfiles[@]} files formatted"
  fi
fi

mapfile -t rfiles < <(git ls-files '*.R' | grep -vE '/(corpus|extdata)/')
Rscript -e '
  if (!requireNamespace("lintr", quietly = TRUE)) {
    cat("the R package lintr is missing: run tools/setup.sh\n")
    quit(status = 1)
  }
  files <- commandArgs(TRUE)
  found <- unlist(lapply(files, function(f) {
    lints <- lintr::lint(f, parse_settings = TRUE)
    vapply(lints, function(l) sprintf("%s:%d: %s", l$filename, l$line_number, l$message), "")
  }))
  if (length(found)) {
    writeLines(found)
    quit(status = 1)
  }
  cat("R:", length(files), "files within the width\n")' "${rfiles[@]}" || status=1
exit $status
