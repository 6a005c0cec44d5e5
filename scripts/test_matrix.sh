#!/usr/bin/env bash
# Every Python the package names (pyproject.toml's classifiers), on this machine's interpreters:
# for each, a wheel built from a read-only copy of the checkout (nothing may be written into the
# sources) against the newest NumPy 2 for that Python, installed into a fresh virtual environment
# with NumPy and pytest, and the part of the Python suite that needs nothing more run from a copy
# of the tests; then the same part again with the oldest NumPy 1.x that has a wheel for that
# Python, pinned by a constraints file. The full suite runs on one version in test_wheel.sh.
# The project environment's own version is not built again: its wheel comes from the project's
# build tree (project_build_options), as test_wheel.sh's does. The others build in a tree of their
# own under build/matrix through ccache, so that the core, which does not depend on Python, is
# compiled once for all of them.
#
# The interpreters are pyenv's (its versions directory, found without PATH). On a machine with
# pyenv a missing version fails the run; without pyenv the versions are reported as skipped.
# Versions run LAGSTAT_MATRIX_JOBS (default 2) at a time; each one's log is in build/matrix/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/venv.sh
activate_venv  # cmake and ninja for the builds
project_build_options
project_version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
out=$root/build/matrix
jobs=${LAGSTAT_MATRIX_JOBS:-2}

# What runs on each version: the module, run, stream and gzip input (numpy and pytest only).
subset=(test_module.py test_run.py test_stream.py test_gzip.py)

# The oldest NumPy 1.x, from 1.21 on, that PyPI has a wheel of for each Python. None is for 3.13:
# NumPy 2.1 is the first for it.
declare -A oldest_numpy=([3.9]=1.21.0 [3.10]=1.21.2 [3.11]=1.23.2 [3.12]=1.26.0)

mapfile -t versions < <(grep -oE 'Programming Language :: Python :: 3\.[0-9]+"' pyproject.toml |
  grep -oE '3\.[0-9]+' | sort -t. -k2,2n -u)
if ((${#versions[@]} == 0)); then
  echo "no Python versions named in pyproject.toml's classifiers" >&2
  exit 1
fi

# One version, start to end; what it prints goes to its log, its results on lines "== ...".
check_version() {
  local v=$1 py=$2 dir=$out/$1
  local vpy=$dir/venv/bin/python
  local pip=("$vpy" -m pip install -q --disable-pip-version-check)
  rm -rf "$dir" && mkdir -p "$dir"
  SECONDS=0
  make_venv "$dir/venv" "$py"
  # pyproject.toml's build requirements are checked once, by the first version's build in pip's
  # isolated environment; the others build in their test environment, which saves installing
  # the same NumPy twice.
  local isolation=()
  if [[ "$v" == "$project_version" && "$v" != "${versions[0]}" ]]; then
    python3 -m pip wheel -q --disable-pip-version-check --no-deps "${project_build[@]}" -w "$dir/dist" "$root"
  else
    if [[ "$v" != "${versions[0]}" ]]; then
      "${pip[@]}" "numpy>=2.0" "scikit-build-core>=0.8" pytest
      isolation=(--no-build-isolation)
    fi
    "$vpy" -m pip wheel -q --disable-pip-version-check "${isolation[@]}" --no-deps \
      --config-settings=build-dir="$dir/build" "${pip_launcher[@]}" -w "$dir/dist" "$src"
  fi
  local wheel=("$dir"/dist/lagstat-*.whl)
  "${pip[@]}" "${wheel[0]}" pytest
  echo "== ${wheel[0]##*/} built and installed in ${SECONDS}s"
  cp -r "$root/tests/python" "$dir/tests"
  cd "$dir/tests"
  "$vpy" -c "
import lagstat, sys
sys.exit(0 if lagstat.__file__.startswith('$dir/venv/') else 'imported ' + lagstat.__file__)"
  run_subset
  local old=${oldest_numpy[$v]:-}
  if [[ -n "$old" ]]; then
    echo "numpy==$old" >"$dir/constraints.txt"
    "${pip[@]}" -c "$dir/constraints.txt" numpy pytest
    run_subset
  fi
}

run_subset() {
  local numpy
  numpy=$("$vpy" -c 'import numpy; print(numpy.__version__)')
  "$vpy" -m pytest -q -p no:cacheprovider "${subset[@]}" | tee pytest.out
  echo "== NumPy $numpy: $(tail -n 1 pytest.out | tr -d '=' | xargs)"
}

# The read-only copy: a read-only bind mount where this user may mount (root, whom file modes do
# not stop), else a copy without write permission.
release_copy() {
  if mountpoint -q "$out/ro" 2>/dev/null; then umount "$out/ro"; fi
  if [[ -d "$out" ]]; then chmod -R u+w "$out"; fi
}
release_copy
rm -rf "$out" && mkdir -p "$out/copy" "$out/ro"
trap release_copy EXIT
tar -C "$root" --exclude=./build --exclude='./.venv*' --exclude=./.git -cf - . | tar -C "$out/copy" -xf -
chmod -R a-w "$out/copy"
if ((EUID == 0)) && mount --bind -o ro "$out/copy" "$out/ro" 2>/dev/null; then
  src=$out/ro
else
  src=$out/copy
fi
if touch "$src/.probe" 2>/dev/null; then
  rm -f "$src/.probe"
  echo "note: the copy $src is writable to this user (root, no bind mount): the builds do not show that nothing is written into the sources"
fi

vdir=$(pyenv_versions_dir || true)
names=() missing=()
for v in "${versions[@]}"; do
  py=$([[ -n "$vdir" ]] && pyenv_python "$vdir" "$v" || true)
  if [[ -z "$py" ]]; then
    missing+=("$v")
    continue
  fi
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
  (
    set +e
    # errexit inside: a failed build or test must fail the version, not just end its log.
    (set -e; check_version "$v" "$py") >"$out/$v.log" 2>&1
    echo $? >"$out/$v.status"
  ) &
  names+=("$v")
done
wait

status=0
for v in "${names[@]}"; do
  if [[ "$(cat "$out/$v.status")" == 0 ]]; then
    echo "Python $v:"
    sed -n 's/^== /    /p' "$out/$v.log"
  else
    status=1
    echo "Python $v FAILED; its log:" >&2
    tail -n 40 "$out/$v.log" >&2
  fi
done
if ((${#missing[@]})); then
  if [[ -n "$vdir" ]]; then
    echo "Python ${missing[*]}: not in $vdir (this machine should have every version)" >&2
    status=1
  else
    echo "Python ${missing[*]}: skipped (no pyenv here; install them with pyenv to test them)"
  fi
fi
exit $status
