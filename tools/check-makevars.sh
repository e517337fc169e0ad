#!/usr/bin/env bash
# src/Makevars lists the sources by hand (POSIX make has no wildcard): this
# fails when a source file or header under src/ is missing from it, which
# would otherwise show only as a symbol missing at load time or an object
# not rebuilt after its header changed.
set -uo pipefail
cd "$(dirname "$0")/../src"
missing=0
for f in */*.cpp */*.h; do
  want=$f
  case $f in *.cpp) want=${f%.cpp}.o ;; esac
  # Whole words only: client/net.o must not be found inside client/net.old.o.
  if ! grep -qE "(^|[ =])${want//./\\.}( |\\\\|$)" Makevars; then
    echo "src/Makevars does not name $want (from src/$f)"
    missing=1
  fi
done
[ "$missing" -eq 0 ] && echo "check-makevars: OK (every source and header under src/ is in src/Makevars)"
exit $missing
