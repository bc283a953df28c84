#!/bin/bash
# Installs what is missing, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")"
. platform/packages.sh
zelpyx_install_packages
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DZELPYX_SANITIZE=ON
cmake --build build-test -j"$(nproc)"
cd build-test
ctest --output-on-failure -j2 --timeout 600
