#!/usr/bin/env bash
# Builds the Python 2.7 module, build/py27/lagstat.so, with the 2.7 interpreter given (default:
# pyenv's newest 2.7) against NumPy 1.16.6, the last NumPy for Python 2. NumPy goes into
# build/py27/site with pip's --target, so the interpreter itself stays as it is; run the module
# with PYTHONPATH=build/py27/site:build/py27. Python 2 has no scikit-build-core: CMake is
# configured directly, with LAGSTAT_PYTHON2=ON, -Werror and the compression libraries as the
# Python 3 build has them. Prints the interpreter it used on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/venv.sh

py=${1:-}
if [[ -z "$py" ]]; then
  vdir=$(pyenv_versions_dir || true)
  py=$([[ -n "$vdir" ]] && pyenv_python "$vdir" 2.7 || true)
  if [[ -z "$py" ]]; then
    echo "no Python 2.7 found (pyenv's versions directory: ${vdir:-none}); pass its path" >&2
    exit 1
  fi
fi
out=$root/build/py27
site=$out/site
mkdir -p "$out"

if ! PYTHONPATH=$site "$py" -c 'import numpy, sys; sys.exit(numpy.__version__ != "1.16.6")' 2>/dev/null; then
  "$py" -m pip install -q --disable-pip-version-check --upgrade --target "$site" numpy==1.16.6
fi
command -v cmake >/dev/null || activate_venv  # cmake and ninja, where the machine lacks them
use_ccache
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# NumPy's headers, found by the interpreter that sees the --target folder (CMake itself may be a
# Python 3 program, which must not see that folder).
numpy_include=$(PYTHONPATH=$site "$py" -c 'import numpy; print(numpy.get_include())')
cmake -S . -B "$out" "${generator[@]}" -DLAGSTAT_PYTHON2=ON -DPython2_EXECUTABLE="$py" \
  -DLAGSTAT_NUMPY_INCLUDE_DIR="$numpy_include" -DLAGSTAT_WERROR=ON "${cmake_launcher[@]}" >"$out/configure.log" ||
  { cat "$out/configure.log" >&2; exit 1; }
cmake --build "$out" -j2 --target lagstat
echo "$py"
