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
found=""
for t in "${targets[@]}"; do
  seeds="tests/fuzz/corpus/$t"
  work="build-fuzz/corpus/$t"
  mkdir -p "$work" "$seeds"
  # The committed corpus (seeds and named regression inputs) is the gate:
  # every input must run clean, the same on every machine.
  echo "== $t: corpus"
  if ! "build-fuzz/$t" -runs=0 -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
      -artifact_prefix="build-fuzz/artifacts/$t-" "$seeds" > "build-fuzz/$t.corpus.log" 2>&1; then
    failed="$failed $t"
    tail -n 40 "build-fuzz/$t.corpus.log"
  fi
  [ "$secs" -gt 0 ] || continue
  # Then fresh inputs: what they find is new and is reported with its input,
  # to be mended and kept in the corpus as a named regression input. With
  # ZELPYX_FUZZ_FRESH_STRICT=1 a finding fails the run as well.
  echo "== $t: ${secs} s of fresh inputs"
  if ! "build-fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$t-" "$work" "$seeds" \
      > "build-fuzz/$t.log" 2>&1; then
    found="$found $t"
    tail -n 40 "build-fuzz/$t.log"
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "build-fuzz/$t.log" | tr '\n' ' ' || true
  echo
done
if [ -n "$found" ]; then
  echo "FUZZ FINDINGS in fresh inputs:$found (inputs in build-fuzz/artifacts/)"
  ls -l build-fuzz/artifacts/
  [ "${ZELPYX_FUZZ_FRESH_STRICT:-0}" = "1" ] && failed="$failed$found"
fi
if [ -n "$failed" ]; then
  echo "FUZZ FAILED:$failed (inputs in build-fuzz/artifacts/)"
  exit 1
fi
echo "every fuzz corpus ran clean"
