# SPDX-License-Identifier: MIT
# Debian package of the two tools and their man pages, for the architecture
# being built (amd64 on the host, armhf with cmake/armhf-toolchain.cmake):
#
#   cmake --build build-armhf --target package
#
# The package's Depends line is computed by dpkg-shlibdeps from the
# binaries, not written by hand.

# Man pages, compressed as Debian installs them.
find_program(GZIP gzip REQUIRED)
set(man_pages)
foreach(page pulvane quorlet)
  set(src ${PROJECT_SOURCE_DIR}/man/${page}.1)
  if(TARGET ${page} AND EXISTS ${src})
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${GZIP} -9nc ${src} > ${gz}
      DEPENDS ${src} VERBATIM)
    list(APPEND man_pages ${gz})
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION share/man/man1)

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(deb_arch armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME serial-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Serial tools maintainers <serial-tools@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one-shot serial tools: RS-485 counter module and AT-command device")
set(CPACK_PACKAGE_DESCRIPTION "pulvane resets an RS-485 in/out counter module or reads its counts;\nquorlet sends one AT command line to an AT-command device and prints\nthe answer line. Both are one-shot tools for shell scripts.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-config.cmake.in ${CMAKE_BINARY_DIR}/cpack-config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack-config.cmake)
include(CPack)
