#!/usr/bin/env bash
# The C++ tests that run threads, under ThreadSanitizer: the passes on teams of 1-8 threads over
# every kind of source, the accumulators' parts (the weighted ones' too) added side by side, the
# decoder's prefetch thread and the output sink's waits. A race makes the run fail with TSan's
# report (halt_on_error). The rest of the suite runs single-threaded code and is left to the
# ASan/UBSan run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
use_ccache
out=build/tsan
export CC=${CC:-gcc} CXX=${CXX:-g++}

SECONDS=0
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAGSTAT_BUILD_MODULE=OFF \
  -DLAGSTAT_BUILD_TESTS=ON -DLAGSTAT_WERROR=ON -DLAGSTAT_SANITIZE=thread "${cmake_launcher[@]}" >/dev/null
cmake --build "$out" --target lagstat_tests
echo "   build: ${SECONDS}s"
SECONDS=0
# Oversized requests return null as they do without a sanitizer (the passes report no memory).
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1 \
  "$out/lagstat_tests" --gtest_brief=1 \
  --gtest_filter='random_inputs/threaded_passes.*:block/accumulator_vs_reference.*:shapes/accumulator_wide_frames.*:prefetch.*:output_sink_test.*:table/weighted_vs_literal.*:table/pooled_vs_literal.*:projection_by_ranges.*:isa/replicate_builds.*'
echo "   tests: ${SECONDS}s"
