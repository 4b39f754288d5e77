# SPDX-License-Identifier: MIT
# Debian's cross compiler for the board: 32-bit ARM, hard-float, glibc.
# Debian's armhf baseline is ARMv7-A with VFPv3-D16 and Thumb-2, which is
# what arm-linux-gnueabihf-g++ produces by default; it is spelt out here so
# that the build does not depend on the compiler's configured defaults.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")

# The cross toolchain's own sysroot; also what qemu-arm -L is given.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only the tools and the preload library run on the board.
set(TOOLS_ONLY ON CACHE BOOL "" FORCE)
