#!/usr/bin/env bash
# The C++ unit tests cross-built for 64-bit Arm (Debian's g++-aarch64-linux-gnu, GoogleTest built
# for the target from the googletest package's sources) and run under user-mode QEMU, called
# directly (no binfmt registration needed). There the kernels take their portable paths, and the
# recorded digests in test_moments.cpp check that the sums are the x86 ones to the last bit.
# No Arm build of the compression libraries is installed here, so the build has none.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
apt_install g++-aarch64-linux-gnu qemu-user-static googletest
activate_venv  # cmake and ninja
use_ccache

build=build/aarch64
SECONDS=0
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DLAGSTAT_BUILD_MODULE=OFF -DLAGSTAT_BUILD_TESTS=ON -DLAGSTAT_WERROR=ON \
  -DLAGSTAT_GTEST_SOURCE_DIR=/usr/src/googletest -DLAGSTAT_COMPRESSION=OFF \
  "${cmake_launcher[@]}" --no-warn-unused-cli >/dev/null
cmake --build "$build" --target lagstat_tests
echo "   cross build: ${SECONDS}s"
SECONDS=0
run_sharded qemu-aarch64-static -L /usr/aarch64-linux-gnu "$build/lagstat_tests" --gtest_brief=1
echo "   tests under QEMU: ${SECONDS}s"
