# Sourced by the other scripts: Debian packages, the project's virtual environment and the
# interpreters found on this machine. Nothing here runs on its own.
#
# The project's Python work happens in one virtual environment, .venv in the checkout (or
# $LAGSTAT_VENV), never in the system interpreter: Debian's refuses pip installs into its own
# site-packages (PEP 668), and a user's interpreter should not change under them. The environment
# is made by the first python3 on PATH that is 3.9 or newer, and made again only when that
# interpreter changes.

lagstat_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${LAGSTAT_VENV:=$lagstat_root/.venv}"

# apt_install PACKAGE...: installs those of the Debian packages that are missing.
apt_install() {
  local need=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  ((${#need[@]})) || return 0
  echo "apt-get install ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
}

# use_ccache: builds compile through ccache (installed where missing), so that a tree made anew,
# a fresh clone or another Python's build takes the objects an earlier build made from the same
# sources with the same flags. Paths under the checkout are hashed relative to the build
# directory and the directory itself is left out of the hash, so that a clone in another folder
# hits the same cache. Sets cmake_launcher (for cmake) and pip_launcher (for pip's -C) too: a
# build tree configured before keeps its cache entries, so the launcher is passed every time.
use_ccache() {
  apt_install ccache
  export CCACHE_BASEDIR=$lagstat_root CCACHE_NOHASHDIR=true
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  cmake_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # The long option: the pip of a fresh environment may predate -C (pip 23.1).
  pip_launcher=(--config-settings=cmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache
    --config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
}

# project_build_options: sets project_build to pip's options for the project's one Release build
# tree, $LAGSTAT_VENV/build (made anew with the environment, whose interpreter it records), where
# setup.sh installs from, check.sh and test_all.sh run the C++ unit tests and test_wheel.sh and
# test_matrix.sh take this Python's wheel from: one build of the core and the module for them
# all. LAGSTAT_CPP_TESTS=ON adds the C++ unit tests (GoogleTest needed); unset, the tree keeps
# what it has, so that setup.sh after check.sh rebuilds nothing.
project_build_options() {
  use_ccache
  local tests=${LAGSTAT_CPP_TESTS:-}
  if [[ -z "$tests" ]]; then
    tests=$(sed -n 's/^LAGSTAT_BUILD_TESTS:BOOL=//p' "$LAGSTAT_VENV/build/CMakeCache.txt" 2>/dev/null || true)
  fi
  project_build=(--no-build-isolation -C build-dir="$LAGSTAT_VENV/build"
    -C cmake.define.LAGSTAT_WERROR=ON -C cmake.define.LAGSTAT_BUILD_TESTS="${tests:-OFF}"
    "${pip_launcher[@]}")
}

# pytest_workers: sets pytest_parallel to pytest's options that spread the suite over the
# machine's cores (pytest-xdist, in the test extra): LAGSTAT_TEST_JOBS workers, by default one per
# core; 1 runs the suite in one process. Tests that share a costly module fixture name one
# xdist_group, so that one worker builds it.
pytest_workers() {
  local n=${LAGSTAT_TEST_JOBS:-$(nproc)}
  pytest_parallel=()
  if ((n > 1)); then pytest_parallel=(-n "$n" --dist loadgroup); fi
}

# run_sharded COMMAND...: a GoogleTest binary as LAGSTAT_TEST_JOBS shards at once (by default one
# per core; GoogleTest splits the tests by GTEST_SHARD_INDEX), so that a serial suite, under QEMU
# or a sanitizer, takes every core. Each shard's output is shown whole, after it ends; the status
# is a failure if any shard failed. The tests' temporary files have unique names (mkstemp), so
# shards do not meet.
run_sharded() {
  local n=${LAGSTAT_TEST_JOBS:-$(nproc)} i status=0 logs
  local pids=()
  logs=$(mktemp -d)
  for ((i = 0; i < n; i++)); do
    GTEST_TOTAL_SHARDS=$n GTEST_SHARD_INDEX=$i "$@" >"$logs/$i" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || status=$?
    cat "$logs/$i"
  done
  rm -rf "$logs"
  return $status
}

# python_ok PYTHON: true if PYTHON runs and is 3.9 or newer.
python_ok() {
  "$1" -c 'import sys; sys.exit(sys.version_info < (3, 9))' >/dev/null 2>&1
}

# first_python3: the interpreter behind the first python3 on PATH that is 3.9 or newer (its real
# path, so that a pyenv shim resolves to the version it stands for).
first_python3() {
  local dir
  local IFS=:
  for dir in $PATH; do
    if [[ -x "${dir:-.}/python3" ]] && python_ok "${dir:-.}/python3"; then
      "${dir:-.}/python3" -c 'import os, sys; print(os.path.realpath(sys.executable))'
      return 0
    fi
  done
  return 1
}

# make_venv DIR PYTHON [--system-site-packages]: a virtual environment of PYTHON in DIR, with the
# interpreter's venv support installed from Debian where that is what it lacks.
make_venv() {
  local dir=$1 py=$2
  shift 2
  "$py" -m venv "$@" "$dir" >/dev/null 2>&1 && return 0
  rm -rf "$dir"
  if [[ "$py" == /usr/bin/* ]]; then
    # Debian's interpreters come without ensurepip: it is in python3.X-venv.
    apt_install "python3-venv" "$("$py" -c 'import sys; print("python%d.%d-venv" % sys.version_info[:2])')"
    "$py" -m venv "$@" "$dir"
  else
    echo "$py cannot make a virtual environment: its venv or ensurepip module is missing" >&2
    return 1
  fi
}

# python_headers PYTHON: installs Debian's headers for a Debian interpreter that lacks them (the
# extension is compiled against them).
python_headers() {
  local py=$1
  "$py" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' && return 0
  if [[ "$py" == /usr/bin/* ]]; then
    apt_install "$("$py" -c 'import sys; print("python%d.%d-dev" % sys.version_info[:2])')"
  else
    echo "Python.h of $py not found: install its development headers" >&2
    return 1
  fi
}

# use_venv: makes the project environment where it is missing or belongs to another interpreter,
# and puts it first on PATH, so that python3, pip, cmake and pytest are its own.
use_venv() {
  local py
  if ! py=$(first_python3); then
    echo "no python3 of version 3.9 or newer on PATH" >&2
    return 1
  fi
  if [[ ! -x "$LAGSTAT_VENV/bin/python" || "$(cat "$LAGSTAT_VENV/.lagstat-base" 2>/dev/null)" != "$py" ]]; then
    echo "making the virtual environment $LAGSTAT_VENV with $py ($("$py" -V 2>&1))"
    rm -rf "$LAGSTAT_VENV"
    make_venv "$LAGSTAT_VENV" "$py"
    # The pip a venv starts with is the interpreter's bundled one (Debian 12's 23.0 knows no -C).
    "$LAGSTAT_VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    echo "$py" >"$LAGSTAT_VENV/.lagstat-base"
  fi
  python_headers "$py"
  activate_venv
}

# activate_venv: what `source .venv/bin/activate` does, for a script.
activate_venv() {
  if [[ ! -x "$LAGSTAT_VENV/bin/python" ]]; then
    echo "no virtual environment in $LAGSTAT_VENV: run bash scripts/setup.sh first" >&2
    return 1
  fi
  export VIRTUAL_ENV=$LAGSTAT_VENV
  export PATH="$LAGSTAT_VENV/bin:$PATH"
  unset PYTHONHOME
  hash -r
}

venv_hint() {
  echo
  echo "lagstat is installed in the virtual environment $LAGSTAT_VENV. To use it:"
  echo "    source ${LAGSTAT_VENV/#$PWD\//}/bin/activate"
}

# pyenv_versions_dir: where pyenv keeps its interpreters, if this machine has pyenv (looked up
# without PATH, which need not hold pyenv).
pyenv_versions_dir() {
  local root
  root=$(pyenv root 2>/dev/null || true)
  [[ -n "$root" ]] || root=${PYENV_ROOT:-$HOME/.pyenv}
  [[ -d "$root/versions" ]] && echo "$root/versions"
}

# pyenv_python VERSIONS_DIR X.Y: the newest CPython X.Y there (its pythonX.Y, which 2.7 has as
# well as 3.X), if any.
pyenv_python() {
  local v
  v=$(find "$1" -mindepth 1 -maxdepth 1 -name "$2.*" -printf '%f\n' 2>/dev/null |
    grep -E "^$2\.[0-9]+$" | sort -t. -k3,3n | tail -n 1)
  [[ -n "$v" && -x "$1/$v/bin/python$2" ]] && echo "$1/$v/bin/python$2"
}
