#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test lagstat: the Debian packages named
# on the command line (with build-essential), then, in the project's virtual environment
# (scripts/venv.sh), the build tools, lagstat with its test and TICA dependencies. Quick when run
# again: the environment is kept, pip skips what is there and the build directory is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

apt_install build-essential "$@"
use_venv

pip_install() { python3 -m pip install -q --disable-pip-version-check "$@"; }
pip_install cmake ninja "scikit-build-core>=0.8" "numpy>=2.0"
# Without build isolation and with a build dir kept in the environment (made anew with it), so
# that a second run compiles only what changed.
pip_install --no-build-isolation -C build-dir="$LAGSTAT_VENV/build" -C cmake.define.LAGSTAT_WERROR=ON ".[test,tica]"
