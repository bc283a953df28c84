#!/bin/bash
# The whole suite. Installs what is missing, then runs four tiers:
#   1. the test build (AddressSanitizer and UndefinedBehaviorSanitizer)
#      in build-test/ and every test program with ctest; then the Debian
#      package built from the Release build, unpacked and run
#      (tools/package_test.sh);
#   2. the same programs built with ThreadSanitizer (./tsan.sh);
#   3. the fuzz targets over their committed corpora, then 15 s of fresh
#      inputs each (./fuzz.sh);
#   4. the board's build for armhf with every test program under qemu-user
#      (./cross.sh).
# ./test.sh --native runs the first tier only.
set -euo pipefail
cd "$(dirname "$0")"
. platform/packages.sh
zelpyx_install_packages
# Each tier says how long it took.
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "test.sh: $name took $((SECONDS - start)) s"
}
native() {
  cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DZELPYX_SANITIZE=ON
  cmake --build build-test -j"$(nproc)"
  (cd build-test && ctest --output-on-failure -j2 --timeout 600)
  python3 tools/layering.py build-test
}
timed "the native tier" native
timed "the package test" tools/package_test.sh
[ "${1:-}" = "--native" ] && exit 0
timed "the ThreadSanitizer tier" ./tsan.sh
timed "the fuzz tier" ./fuzz.sh 15
timed "the armhf tier" ./cross.sh
