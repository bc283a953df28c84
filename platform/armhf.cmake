# Cross build for the board: Debian armhf (multiarch libraries under
# /usr/lib/arm-linux-gnueabihf), programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "")
# Build-time helpers (gtest discovery, the screen drawer) and ctest run
# the ARM programs through the emulator.
# The loader and libc come from the armhf multiarch packages (/lib), not
# from the cross compiler's copy, whose libc may be of another revision.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
# 64-bit file offsets on the 32-bit board are set in CMakeLists.txt.
