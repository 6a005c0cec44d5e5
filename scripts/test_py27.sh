#!/usr/bin/env bash
# The Python 2.7 module: built by scripts/build_py27.sh against NumPy 1.16.6, with pytest 4.6.11
# (the last for Python 2) beside NumPy in build/py27/site, and tests/python2 run on it. The
# interpreter is pyenv's (its versions directory, found without PATH): on a machine with pyenv a
# missing 2.7 fails the run; without pyenv the run is reported as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/venv.sh

vdir=$(pyenv_versions_dir || true)
if [[ -z "$vdir" ]]; then
  echo "Python 2.7: skipped (no pyenv here; install 2.7 with pyenv to test it)"
  exit 0
fi
if ! py=$(pyenv_python "$vdir" 2.7); then
  echo "Python 2.7: not in $vdir (this machine should have it)" >&2
  exit 1
fi

bash scripts/build_py27.sh "$py" >/dev/null
out=$root/build/py27
if ! PYTHONPATH=$out/site "$py" -c 'import pytest, sys; sys.exit(pytest.__version__ != "4.6.11")' 2>/dev/null; then
  "$py" -m pip install -q --disable-pip-version-check --target "$out/site" numpy==1.16.6 pytest==4.6.11
fi
# No bytecode next to the tests; the module is the one just built, not one found elsewhere.
export PYTHONPATH=$out/site:$out PYTHONDONTWRITEBYTECODE=1
cd "$out"
"$py" -c "
import lagstat, os, sys
sys.exit(0 if os.path.abspath(lagstat.__file__) == '$out/lagstat.so' else 'imported ' + lagstat.__file__)"
"$py" -m pytest -q -p no:cacheprovider "$root/tests/python2" | tee pytest.out
echo "Python $("$py" -c 'import platform; print(platform.python_version())'), NumPy $("$py" -c 'import numpy; print(numpy.__version__)'): $(tail -n 1 pytest.out | tr -d '=' | xargs)"
