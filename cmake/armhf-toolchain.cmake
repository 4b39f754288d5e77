# SPDX-License-Identifier: MIT
# Debian's cross compiler for the board: 32-bit ARM, hard-float, glibc.
# Debian's armhf baseline is ARMv7-A with VFPv3-D16 and Thumb-2, which is
# what arm-linux-gnueabihf-g++ produces by default; it is spelt out here so
# that the build does not depend on the compiler's configured defaults.
#
# The C library the tools are built against is Debian 11's (glibc 2.31),
# from the sysroot that scripts/make-sysroot unpacks, not the cross
# toolchain's newer one: a program links against the newest symbol
# versions of the glibc it is built with, so building against an old one
# is what lets the tools start on old board userlands (they need nothing
# above GLIBC_2.28).
#
#   scripts/make-sysroot
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# ARMHF_SYSROOT (a CMake or environment variable) names another sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT ARMHF_SYSROOT)
  if(DEFINED ENV{ARMHF_SYSROOT})
    set(ARMHF_SYSROOT $ENV{ARMHF_SYSROOT})
  else()
    get_filename_component(ARMHF_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-bullseye-armhf ABSOLUTE)
  endif()
endif()
if(NOT EXISTS ${ARMHF_SYSROOT}/usr/include/stdio.h)
  message(FATAL_ERROR "no armhf sysroot at ${ARMHF_SYSROOT}: run scripts/make-sysroot")
endif()
set(ARMHF_SYSROOT ${ARMHF_SYSROOT} CACHE PATH "Library root the armhf tools are built against" FORCE)
# try_compile projects see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMHF_SYSROOT)
set(CMAKE_SYSROOT ${ARMHF_SYSROOT})

# Header order. The cross g++ looks in its own /usr/arm-linux-gnueabihf/include
# (glibc 2.36) before a sysroot's, and libstdc++'s #include_next would then
# mix the two glibcs. So the standard directories are dropped and named
# again in order: the C++ library's, the compiler's own, the sysroot's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
  OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot run ${CMAKE_CXX_COMPILER}")
endif()
string(REGEX MATCH "#include <...> search starts here:\n(.*)End of search list" search "${search}")
string(REGEX MATCHALL "[^\n ]+" search "${CMAKE_MATCH_1}")
set(include_flags "-nostdinc")
foreach(dir IN LISTS search)
  get_filename_component(dir ${dir} REALPATH)
  if(dir MATCHES "/c\\+\\+/" OR dir MATCHES "/gcc-cross/.*/include$")
    string(APPEND include_flags " -isystem ${dir}")
  endif()
endforeach()
string(APPEND include_flags " -isystem ${ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf -isystem ${ARMHF_SYSROOT}/usr/include")

set(arch_flags "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
set(CMAKE_C_FLAGS_INIT "${arch_flags} ${include_flags}")
set(CMAKE_CXX_FLAGS_INIT "${arch_flags} ${include_flags}")

# Start files and libraries from the sysroot first: the cross toolchain's
# own crt1.o and libc.so would otherwise come before them and tie the
# binaries to glibc 2.34 and later.
set(lib_flags "-B${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf -L${ARMHF_SYSROOT}/lib/arm-linux-gnueabihf -L${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${lib_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${lib_flags}")

set(CMAKE_FIND_ROOT_PATH ${ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only the tools and the preload library run on the board.
set(TOOLS_ONLY ON CACHE BOOL "" FORCE)
