#!/bin/bash
# Cross-builds the whole project for the board (Debian 12 armhf) in
# build-armhf/, runs the test programs under qemu-user and builds the
# board's package build-armhf/zelpyx_<version>_armhf.deb. Installs what is
# missing first (the armhf architecture, the cross compiler, qemu and the
# armhf -dev packages).
set -euo pipefail
cd "$(dirname "$0")"
. platform/packages.sh
zelpyx_install_armhf_packages
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=platform/armhf.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELPYX_SANITIZE=OFF
cmake --build build-armhf -j"$(nproc)"
cd build-armhf
# The test programs start the controller and the simulated station as
# child processes: they go through the same emulator.
export ZELPYX_EMULATOR=qemu-arm-static
ctest --output-on-failure -j2 --timeout 900
cd ..
tools/package.sh --armhf
