# SPDX-License-Identifier: MIT
# The part of a board toolchain file that is the same for every board
# architecture: Debian's cross compiler for it, and the C library of the
# Debian 11 sysroot that scripts/make-sysroot unpacks instead of the cross
# toolchain's newer one. A program links against the newest symbol
# versions of the glibc it is built with, so building against an old one
# is what lets the tools start on old board userlands (they need nothing
# above GLIBC_2.28).
#
# The including file sets:
#   board_arch        Debian's name of the architecture (armhf, arm64)
#   board_triplet     the GNU triplet of Debian's cross toolchain
#   board_processor   CMAKE_SYSTEM_PROCESSOR
#   board_arch_flags  code generation flags, spelt out so that the build
#                     does not depend on the compiler's configured defaults
# The sysroot is build/sysroot-bullseye-ARCH in this tree, or the one
# named by the CMake or environment variable ARMHF_SYSROOT (armhf) or
# ARM64_SYSROOT (arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${board_processor})

set(CMAKE_C_COMPILER ${board_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${board_triplet}-g++)

string(TOUPPER "${board_arch}_SYSROOT" sysroot_var)
if(NOT ${sysroot_var})
  if(DEFINED ENV{${sysroot_var}})
    set(${sysroot_var} $ENV{${sysroot_var}})
  else()
    get_filename_component(${sysroot_var} ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-bullseye-${board_arch} ABSOLUTE)
  endif()
endif()
set(sysroot ${${sysroot_var}})
if(NOT EXISTS ${sysroot}/usr/include/stdio.h)
  message(FATAL_ERROR "no ${board_arch} sysroot at ${sysroot}: run scripts/make-sysroot ${board_arch}")
endif()
set(${sysroot_var} ${sysroot} CACHE PATH "Library root the ${board_arch} tools are built against" FORCE)
# try_compile projects see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${sysroot_var})
set(CMAKE_SYSROOT ${sysroot})

# Header order. The cross g++ looks in its own /usr/TRIPLET/include (the
# build machine's glibc) before a sysroot's, and libstdc++'s #include_next
# would then mix the two glibcs. So the standard directories are dropped
# and named again in order: the C++ library's, the compiler's own, the
# sysroot's.
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
string(APPEND include_flags " -isystem ${sysroot}/usr/include/${board_triplet} -isystem ${sysroot}/usr/include")

set(CMAKE_C_FLAGS_INIT "${board_arch_flags} ${include_flags}")
set(CMAKE_CXX_FLAGS_INIT "${board_arch_flags} ${include_flags}")

# Start files and libraries from the sysroot first: the cross toolchain's
# own crt1.o and libc.so would otherwise come before them and tie the
# binaries to glibc 2.34 and later.
set(lib_flags "-B${sysroot}/usr/lib/${board_triplet} -L${sysroot}/lib/${board_triplet} -L${sysroot}/usr/lib/${board_triplet}")
# Segments aligned to 64 KiB, the largest page an ARM kernel uses, so that
# the binaries load under 4K, 16K (the Raspberry Pi 5's own kernel) and
# 64K pages alike: a kernel cannot map a read-write segment that shares
# one of its pages with the code. arm64's linker does so by default,
# armhf's aligns to 4K. With RELRO the file grows by the padding, about
# 60 KB. (Applied by the project, so that a build folder configured
# before takes it too.)
set(BOARD_LINK_OPTIONS -Wl,-z,max-page-size=0x10000)
set(CMAKE_EXE_LINKER_FLAGS_INIT "${lib_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${lib_flags}")

set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only the tools and the preload library run on the board.
set(TOOLS_ONLY ON CACHE BOOL "" FORCE)
