#!/bin/sh
# The Python package as a user gets it: the README's offline install line, run as written in a
# folder holding a copy of python/ (Debian's python3, setuptools and wheel, a fresh virtual
# environment that sees the system's packages, pytest among them), then its tests with Debian's
# pytest against an installed library and ormasim:
#   python_test.sh PREFIX LIBDIR
# Port 5002 must be free (the tests start ormasim there).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1 libdir=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "python_test: $*"; exit 1; }

# The one line of README.md that makes the environment and installs the package offline; the
# package's own README gives the same line.
line=$(grep '^python3 -m venv .* --no-index ' "$here/../README.md") || fail "README.md has no offline install line"
[ "$(echo "$line" | wc -l)" = 1 ] || fail "README.md has more than one offline install line: $line"
grep -qxF "    $line" "$here/../python/README.md" || fail "python/README.md does not give README.md's line: $line"
cp -R "$here/../python" "$tmp/python" # setuptools builds inside the folder it is given
echo "-- $line"
(cd "$tmp" && PATH=/usr/bin:/bin sh -c "$line" >"$tmp/install.log" 2>&1) ||
  { cat "$tmp/install.log"; fail "README.md's offline install line failed"; }
cd "$tmp"
ORMA_DLL_LIBRARY=$prefix/$libdir/libORMA_DLL.so.1 ORMASIM=$prefix/bin/ormasim \
  "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$tmp/python/tests"
