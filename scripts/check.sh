#!/usr/bin/env bash
# The working day's check, a few minutes on a warm machine (scripts/test_all.sh is the full gate):
# the module, lagstat_tica and the C++ unit tests built incrementally in the one build tree of
# scripts/setup.sh and installed into the project environment; ctest over the C++ tests; the
# Python suite on the installed module, stopping at the first failure; then clang-format on the
# C++ lines and ruff on the Python files changed since the branch left main (the merge base with
# main, else with origin/main, else HEAD), committed or not.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/venv.sh

source scripts/steps.sh

step "Build (incremental) and install"
LAGSTAT_CPP_TESTS=ON bash scripts/setup.sh zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev \
  libgtest-dev clang-format
activate_venv
step_end

step "C++ unit tests (ctest)"
ctest --test-dir "$LAGSTAT_VENV/build" -j2 --output-on-failure --timeout 300 | tail -n 3
step_end

step "Python tests"
pytest_workers
(cd /tmp && python3 -m pytest -x -q -p no:cacheprovider "${pytest_parallel[@]}" "$root/tests/python")
step_end

step "Format and lint of what changed"
base=
for ref in main origin/main; do
  base=$(git merge-base HEAD "$ref" 2>/dev/null) && break
done
[[ -n "$base" ]] || base=HEAD
mapfile -t changed < <({ git diff --name-only --diff-filter=d "$base"; git ls-files --others --exclude-standard; } | sort -u)
status=0
cxx=() py=()
for f in "${changed[@]}"; do
  case "$f" in
    *.cpp | *.hpp | *.h | *.cc) cxx+=("$f") ;;
    *.py | *.pyi) py+=("$f") ;;
  esac
done
# Only the lines that changed: files formatted before clang-format was checked stay as they are.
for f in "${cxx[@]}"; do
  lines=()  # none: a new file, all of it
  if git ls-files --error-unmatch "$f" >/dev/null 2>&1; then
    mapfile -t lines < <(git diff -U0 "$base" -- "$f" |
      sed -n 's/^@@ -[0-9,]* +\([0-9]*\)\(,\([0-9]*\)\)\{0,1\} @@.*/\1 \3/p' |
      awk '{n = ($2 == "") ? 1 : $2; if (n > 0) printf "--lines=%d:%d\n", $1, $1 + n - 1}')
    ((${#lines[@]})) || continue  # lines taken out only
  fi
  clang-format --dry-run --Werror "${lines[@]}" "$f" || status=1
done
if ((${#py[@]})); then
  ruff check --force-exclude -q "${py[@]}" || status=1
fi
echo "${#cxx[@]} C++ and ${#py[@]} Python files changed since ${base:0:12}"
step_end

print_timings
venv_hint
exit $status
