# SPDX-License-Identifier: MIT
# Debian's cross compiler for 64-bit ARM userlands (arm64: a 64-bit
# Raspberry Pi OS, i.MX8 and newer images). Debian's arm64 baseline is
# ARMv8-A, spelt out here. The C library is Debian 11's (glibc 2.31),
# from the sysroot that scripts/make-sysroot unpacks (see
# board-toolchain.cmake); on arm64 glibc's oldest symbol version is
# GLIBC_2.17, which is what the tools need.
#
#   scripts/make-sysroot arm64
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64-toolchain.cmake
#
# ARM64_SYSROOT (a CMake or environment variable) names another sysroot.
set(board_arch arm64)
set(board_triplet aarch64-linux-gnu)
set(board_processor aarch64)
set(board_arch_flags "-march=armv8-a")
include(${CMAKE_CURRENT_LIST_DIR}/board-toolchain.cmake)
