#!/usr/bin/env bash
# The C++ unit tests and the Python suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# The module and the C++ tests are built with both in one tree, build/sanitize/module (through
# ccache), and the module is installed into build/sanitize/site (pip --target), apart from
# the ordinary installation, which stays as it is; the interpreter, which is not built with the
# sanitizers, gets libasan preloaded (with libstdc++, so that ASan can intercept C++ throws of a
# module loaded later), Python's own allocator off (PYTHONMALLOC=malloc, so that
# ASan sees every object) and no leak report (the interpreter keeps memory to its exit).
# Allocations too large to make return null, as they do without ASan: the passes report
# MemoryError for them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
activate_venv  # the project environment of scripts/setup.sh
root=$(pwd)
out=$root/build/sanitize
export CC=${CC:-gcc} CXX=${CXX:-g++}
libasan=$("$CXX" -print-file-name=libasan.so)
libstdcxx=$("$CXX" -print-file-name=libstdc++.so)
if [[ ! -e "$libasan" || ! -e "$libstdcxx" ]]; then
  echo "libasan.so or libstdc++.so of $CXX not found" >&2
  exit 1
fi

use_ccache
echo "== Build (ASan + UBSan): the module and the C++ unit tests"
rm -rf "$out/site"
PIP_ROOT_USER_ACTION=ignore python3 -m pip install -q --disable-pip-version-check \
  --no-build-isolation --no-deps \
  --target "$out/site" -C build-dir="$out/module" -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.LAGSTAT_SANITIZE=address,undefined -C cmake.define.LAGSTAT_WERROR=ON \
  -C cmake.define.LAGSTAT_BUILD_TESTS=ON "${pip_launcher[@]}" .
echo "   build: ${SECONDS}s"

echo "== C++ unit tests (ASan + UBSan)"
SECONDS=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_sharded "$out/module/lagstat_tests" --gtest_brief=1
echo "   C++ tests: ${SECONDS}s"

echo "== Python tests (ASan + UBSan)"
SECONDS=0

# Reports go to files: pytest holds the test's stderr, which an abort would lose.
logs=$out/logs
rm -rf "$logs" && mkdir -p "$logs"
export LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc PYTHONPATH=$out/site LAGSTAT_SANITIZED=1
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$logs/asan
export UBSAN_OPTIONS=print_stacktrace=1:log_path=$logs/ubsan
report() {
  for f in "$logs"/*; do [[ -e "$f" ]] && { echo "--- $f"; head -n 80 "$f"; }; done >&2
}
trap 'status=$?; ((status)) && report; exit $status' EXIT
# The sanitized module, not the ordinary one, must be the one imported.
(cd /tmp && python3 -c "
import lagstat, sys
sys.exit(0 if lagstat.__file__.startswith('$out/site/') else 'imported ' + lagstat.__file__)")
pytest_workers
(cd /tmp && python3 -m pytest -q -p no:cacheprovider "${pytest_parallel[@]}" "$root/tests/python")
echo "   Python tests: ${SECONDS}s"
