#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ unit tests, the Python suite, both again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a fuzzing smoke run and the slow tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh build-essential zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev zstd \
  libgtest-dev clang libclang-rt-dev locales

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DLAGSTAT_BUILD_MODULE=OFF -DLAGSTAT_BUILD_TESTS=ON \
  -DLAGSTAT_WERROR=ON >/dev/null
cmake --build build/cpp-tests
(cd build/cpp-tests && ./lagstat_tests --gtest_brief=1)

echo "== Python tests"
# From outside the tree, so that the installed module is the one imported.
(cd /tmp && python3 -m pytest -q -p no:cacheprovider "$root/tests/python")

echo "== Sanitizers (ASan + UBSan)"
bash scripts/test_sanitizers.sh

echo "== Fuzzing (smoke run)"
bash scripts/fuzz_smoke.sh

echo "== Slow tests"
bash scripts/slow_tests.sh
