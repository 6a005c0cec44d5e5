#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each
# for FUZZ_SECONDS (default 35) over its seed corpus and every kept regression input, the targets
# side by side. A failing input is saved under build/fuzz/artifacts/: keep it as a regression case
# in tests/fuzz/regressions/<target>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
activate_venv  # the project environment of scripts/setup.sh
use_ccache
root=$(pwd)
seconds=${FUZZ_SECONDS:-35}

# clang with the libFuzzer runtime; install it where missing.
cxx=$(command -v clang++ || command -v clang++-14 || true)
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"$probe/probe.cpp"
if [[ -z "$cxx" ]] || ! "$cxx" -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang libclang-rt-dev zlib1g-dev libbz2-dev liblzma-dev libzstd-dev \
    libisal-dev >/dev/null
  cxx=$(command -v clang++)
fi
cc=${cxx/clang++/clang}

build=$root/build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAGSTAT_BUILD_MODULE=OFF -DLAGSTAT_BUILD_FUZZ=ON \
  -DLAGSTAT_WERROR=ON "${cmake_launcher[@]}" >/dev/null
cmake --build "$build" --target fuzz_reader fuzz_kernels fuzz_npy

mkdir -p "$build/artifacts"
pids=()
targets=(reader kernels npy)
for target in "${targets[@]}"; do
  # New inputs go to a scratch corpus; the committed seeds and regressions are only read.
  work="$build/work/$target"
  mkdir -p "$work" "$root/tests/fuzz/regressions/$target"
  "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$work" "$root/tests/fuzz/corpus/$target" "$root/tests/fuzz/regressions/$target" \
    >"$build/fuzz_$target.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz_$target: $(grep -E '^stat::number_of_executed_units' "$build/fuzz_$target.log" | awk '{print $2}') runs, no failure"
  else
    status=1
    echo "fuzz_$target FAILED; log follows, failing input in $build/artifacts/" >&2
    tail -n 60 "$build/fuzz_$target.log" >&2
  fi
done
exit $status
