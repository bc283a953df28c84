#!/bin/bash
# Thread-safety tier: the whole project built with ThreadSanitizer in
# build-tsan/ and every test program run under it. A report from any
# program (the controller processes the end-to-end tests start too) ends
# it with ThreadSanitizer's exit code, so its test fails. No suppressions.
set -euo pipefail
cd "$(dirname "$0")"
. platform/packages.sh
zelpyx_install_packages
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DZELPYX_TSAN=ON >/dev/null
cmake --build build-tsan -j"$(nproc)"
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
(cd build-tsan && ctest --output-on-failure -j2 --timeout 900)
