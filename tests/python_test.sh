#!/bin/sh
# The Python package as a user gets it: pip install ./python without a network (Debian's
# setuptools, into a fresh virtual environment that sees the system's packages, pytest among
# them), then its tests with Debian's pytest against an installed library and ormasim:
#   python_test.sh PREFIX LIBDIR
# Port 5002 must be free (the tests start ormasim there).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1 libdir=$2
python=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv --system-site-packages "$tmp/venv"
cp -R "$here/../python" "$tmp/source" # setuptools builds inside the folder it is given
"$tmp/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation "$tmp/source" ||
  { echo "python_test: pip install ./python failed"; exit 1; }
cd "$tmp"
ORMA_DLL_LIBRARY=$prefix/$libdir/libORMA_DLL.so.1 ORMASIM=$prefix/bin/ormasim \
  "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$tmp/source/tests"
