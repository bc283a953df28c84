#!/bin/bash
# Builds the fuzz targets of tests/fuzz/ (clang, libFuzzer, ASan + UBSan)
# in build-fuzz/ and runs each one: first over its committed corpus
# (tests/fuzz/corpus/<target>/: seeds and named regression inputs), then
# fresh inputs for the given number of seconds (default 60).
#
#   ./fuzz.sh [seconds] [target...]
#
# New inputs that found coverage stay in build-fuzz/corpus/<target>/; a
# crash leaves its input in build-fuzz/artifacts/ and the script exits 1.
set -euo pipefail
cd "$(dirname "$0")"
secs=60
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then secs=$1; shift; fi
. platform/packages.sh
zelpyx_install_packages
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DZELPYX_FUZZ=ON \
  -DZELPYX_TESTS=OFF -DZELPYX_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_all
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
mkdir -p build-fuzz/artifacts
failed=""
for t in "${targets[@]}"; do
  seeds="tests/fuzz/corpus/$t"
  work="build-fuzz/corpus/$t"
  mkdir -p "$work" "$seeds"
  echo "== $t: corpus, then ${secs} s of fresh inputs"
  # stderr of the code under test is closed (it logs every frame); the
  # fuzzer's own lines and sanitizer reports still come through.
  if ! "build-fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$t-" "$work" "$seeds" \
      > "build-fuzz/$t.log" 2>&1; then
    failed="$failed $t"
    tail -n 40 "build-fuzz/$t.log"
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "build-fuzz/$t.log" | tr '\n' ' ' || true
  echo
done
if [ -n "$failed" ]; then
  echo "FUZZ FAILED:$failed (inputs in build-fuzz/artifacts/)"
  exit 1
fi
echo "all fuzz targets ran clean"
