# SPDX-License-Identifier: MIT
# Debian's cross compiler for the 32-bit board: ARM, hard-float, glibc.
# Debian's armhf baseline is ARMv7-A with VFPv3-D16 and Thumb-2, which is
# what arm-linux-gnueabihf-g++ produces by default; it is spelt out here.
# The C library is Debian 11's (glibc 2.31), from the sysroot that
# scripts/make-sysroot unpacks (see board-toolchain.cmake).
#
#   scripts/make-sysroot
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# ARMHF_SYSROOT (a CMake or environment variable) names another sysroot.
set(board_arch armhf)
set(board_triplet arm-linux-gnueabihf)
set(board_processor armv7l)
set(board_arch_flags "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
include(${CMAKE_CURRENT_LIST_DIR}/board-toolchain.cmake)
