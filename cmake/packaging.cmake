# SPDX-License-Identifier: MIT
# What a Linux install carries besides the programs and the library: the licence, the history and,
# from both, the Debian package's copyright file and changelog; then CPack's settings for the .deb
# that scripts/package makes (cpack -G DEB in a build configured with CMAKE_INSTALL_PREFIX=/usr).

# CHANGELOG.md was read at the top of the project (cmake/changelog.cmake); the licence is read here.
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE)

set(MIXLINK_MAINTAINER "The mixlink maintainers <maintainers@mixlink.example.org>")

install(FILES LICENSE CHANGELOG.md README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The pages the README links to, and its picture.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The Debian copyright file: the licence text under a machine-readable header.
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
  list(GET license_lines 2 license_copyright)
  string(REGEX REPLACE "^Copyright \\(c\\) " "" license_copyright "${license_copyright}")
  set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ${PROJECT_NAME}\nSource: ${PROJECT_HOMEPAGE_URL}\n\n"
    "Files: *\nCopyright: ${license_copyright}\nLicense: Expat\n")
  list(SUBLIST license_lines 4 -1 license_body)
  foreach(line IN LISTS license_body)
    if(line STREQUAL "")
      list(APPEND copyright " .\n")
    else()
      list(APPEND copyright " ${line}\n")
    endif()
  endforeach()
  string(JOIN "" copyright ${copyright})
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/copyright CONTENT "${copyright}" @ONLY)

  mixlink_write_debian_changelog(${PROJECT_NAME} "${MIXLINK_MAINTAINER}"
    ${PROJECT_BINARY_DIR}/packaging/changelog)
  # gzip -n: no name or time stamp in the header, so that the same history makes the same bytes.
  find_program(MIXLINK_GZIP gzip)
  if(MIXLINK_GZIP)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
      COMMAND ${MIXLINK_GZIP} -9nc ${PROJECT_BINARY_DIR}/packaging/changelog
              > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
      DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
      COMMENT "Compressing the Debian changelog")
    add_custom_target(mixlink_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The mixlink maintainers")
set(CPACK_PACKAGE_CONTACT "${MIXLINK_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client library and tools for a digital mixing console")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "mixlink speaks a digital mixing console's native network protocol: it finds\n"
  "the console on the local network, reads single values and whole containers of\n"
  "its 38,517 parameter nodes, follows the stream of change events and subscribes\n"
  "to meters.\n"
  "\n"
  "This package holds the C++ library with its headers, CMake and pkg-config\n"
  "files, and three programs. mixlink puts every library operation on the command\n"
  "line, bandscope shows the console's real-time analyser as 120 live bars, and\n"
  "mixsim is a simulated console for trying and testing all of it without\n"
  "hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
# Dependencies from the shared libraries the programs and the library link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# With a shared library (as scripts/package builds it): a shlibs file for libmixlink.so.N and the
# activation of the ldconfig trigger.
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
