#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ unit tests (also cross-built for aarch64
# and run under QEMU), the Python suite against the repaired wheel in a fresh environment, a part
# of it on every Python version the package names and with NumPy 1.x, the Python 2.7 module with
# NumPy 1.16, both suites again under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded
# C++ tests under ThreadSanitizer, a fuzzing smoke run, the slow tests and the documentation site
# (built with every warning an error, its tutorials and doctests run: scripts/docs.sh).
# Everything Python runs in virtual environments (scripts/venv.sh), never the system interpreter.
# Each configuration has one build tree, reused by every step that needs it, and everything
# compiles through ccache (warm on a machine that ran this before): the Release tree of
# scripts/setup.sh holds the module and the C++ unit tests, and its wheel serves test_wheel.sh and
# test_matrix.sh's run of the same Python. scripts/check.sh is the quick check for the working day.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

source scripts/steps.sh

step "Setup"
LAGSTAT_CPP_TESTS=ON bash scripts/setup.sh zlib1g-dev libbz2-dev liblzma-dev libzstd-dev libisal-dev zstd libgtest-dev \
  clang libclang-rt-dev locales googletest g++-aarch64-linux-gnu qemu-user-static
activate_venv
step_end

step "C++ unit tests"
# Built by the setup step, in the tree the module was built in.
(cd "$LAGSTAT_VENV/build" && run_sharded ./lagstat_tests --gtest_brief=1)
step_end

step "C++ unit tests, aarch64 under QEMU"
bash scripts/test_aarch64.sh
step_end

step "Python tests (the repaired wheel in a fresh environment)"
bash scripts/test_wheel.sh
step_end

step "Python versions and NumPy 1.x"
bash scripts/test_matrix.sh
step_end

step "Python 2.7 and NumPy 1.16"
bash scripts/test_py27.sh
step_end

step "Sanitizers (ASan + UBSan)"
bash scripts/test_sanitizers.sh
step_end

step "Threads (TSan)"
bash scripts/test_tsan.sh
step_end

step "Fuzzing (smoke run)"
bash scripts/fuzz_smoke.sh
step_end

step "Slow tests"
bash scripts/slow_tests.sh
step_end

step "Documentation"
bash scripts/docs.sh
step_end

print_timings
venv_hint
