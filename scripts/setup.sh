#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test lagstat: the Debian packages named
# on the command line (with build-essential and ccache), then, in the project's virtual environment
# (scripts/venv.sh), the build tools and ruff, lagstat with its test and TICA dependencies (the
# extras LAGSTAT_EXTRAS names, default test,tica: scripts/docs.sh adds docs).
# LAGSTAT_CPP_TESTS=ON builds the C++ unit tests in the same tree. Quick when run again: the
# environment is kept, pip skips what is there, the build directory is kept and ccache has the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

apt_install build-essential ccache "$@"
use_venv

pip_install() { python3 -m pip install -q --disable-pip-version-check "$@"; }
# wheel: without build isolation, a dependency published only as a source archive
# (MDAnalysisTests, for the docs) is built by the environment's setuptools, whose bdist_wheel
# comes from the wheel package before setuptools 70.1.
pip_install cmake ninja "scikit-build-core>=0.8" "numpy>=2.0" ruff wheel
# Without build isolation and in the build tree kept in the environment (project_build_options),
# so that a second run compiles only what changed.
project_build_options
pip_install "${project_build[@]}" ".[${LAGSTAT_EXTRAS:-test,tica}]"
