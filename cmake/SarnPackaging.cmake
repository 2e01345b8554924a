# The Debian packages: cpack -G DEB in a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr builds one package per install component, split
# as Debian ships a library:
#
#   libsarnmd1     the driver, libsarnmd.so.1, and sarnmd.int(5)   (runtime)
#   libkorven1     the host log library, libkorven.so.1             (korven)
#   libsarnmd-dev  sarnmd.h, korven.h, the .so links, sarnmd.pc and
#                  the CMake package                                (dev)
#   sarnmd-tools   sarnhost and plcsim with their manual pages      (tools)
#
# Each carries its own copyright and changelog in /usr/share/doc/PACKAGE; the
# development files and the tools also the README. The library packages
# bring the dynamic linker's cache up to date by a trigger.
# tests/install/check_package.sh builds, checks (lintian) and tries them.
include(GNUInstallDirs)

set(SARN_PACKAGE_MAINTAINER "sarnmd maintainers <maintainers@sarnmd.example.org>"
    CACHE STRING "Maintainer of the Debian packages: name <address>")

# component -> package name
set(SARN_DEB_runtime libsarnmd1)
set(SARN_DEB_korven libkorven1)
set(SARN_DEB_dev libsarnmd-dev)
set(SARN_DEB_tools sarnmd-tools)
set(SARN_DEB_COMPONENTS runtime korven dev tools)

# Debian's documentation files: the copyright and the changelog, compressed;
# the README (compressed too, as Debian keeps documents of its size) for the
# packages people read it with.
set(SARN_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog)
set(SARN_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
set(SARN_README_GZ ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.in ${SARN_CHANGELOG} @ONLY)
add_custom_command(OUTPUT ${SARN_CHANGELOG_GZ} COMMAND sh -c "gzip -9n -c '${SARN_CHANGELOG}' > '${SARN_CHANGELOG_GZ}'"
                   DEPENDS ${SARN_CHANGELOG} VERBATIM)
add_custom_command(OUTPUT ${SARN_README_GZ}
                   COMMAND sh -c "gzip -9n -c '${CMAKE_CURRENT_SOURCE_DIR}/README.md' > '${SARN_README_GZ}'"
                   DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/README.md VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${SARN_CHANGELOG_GZ} ${SARN_README_GZ})
foreach(sarn_component IN LISTS SARN_DEB_COMPONENTS)
  set(sarn_docs ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${SARN_CHANGELOG_GZ})
  if(sarn_component STREQUAL "dev" OR sarn_component STREQUAL "tools")
    list(APPEND sarn_docs ${SARN_README_GZ})
  endif()
  install(FILES ${sarn_docs} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${SARN_DEB_${sarn_component}}
          COMPONENT ${sarn_component})
endforeach()

set(CPACK_PACKAGE_NAME sarnmd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "sarnmd")
set(CPACK_PACKAGE_CONTACT "${SARN_PACKAGE_MAINTAINER}")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: cpack would put it before the first
# line of each package's own description, which is that package's synopsis.
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${SARN_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE sarnmd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for each package with a shared library (the two libraries).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Where dpkg-shlibdeps finds libkorven.so.1, which libsarnmd.so.1 needs: the
# build tree (it has no package to ask, so libsarnmd1 names libkorven1 itself).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://sarnmd.example.org/")

# The common paragraph of every package's long description.
string(CONCAT sarn_about
       "SARNMD is a plug-in driver that a supervisory host (an operator station or\n"
       "SCADA program) loads to read and write controller values over a serial\n"
       "line, in Modbus ASCII or in GTC. It exports one function, SarnMain.")

foreach(sarn_component IN LISTS SARN_DEB_COMPONENTS)
  string(TOUPPER ${sarn_component} sarn_c)
  set(CPACK_DEBIAN_${sarn_c}_PACKAGE_NAME ${SARN_DEB_${sarn_component}})
endforeach()

# The libraries: the ldconfig trigger. libsarnmd
# needs libkorven, which dpkg-shlibdeps cannot tell from the build tree.
set(sarn_exact "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libkorven1 ${sarn_exact}")
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "Modbus ASCII / GTC serial driver for supervisory hosts\n${sarn_about}\n\n"
    "This package holds the driver library, libsarnmd.so.1, and the manual page\n"
    "of its initialization file, sarnmd.int(5).")
set(CPACK_DEBIAN_KORVEN_PACKAGE_SECTION libs)
string(CONCAT CPACK_DEBIAN_KORVEN_DESCRIPTION
    "host log library for the SARNMD serial driver\n${sarn_about}\n\n"
    "This package holds libkorven.so.1, a stand-in for the host's log library:\n"
    "it exports err(), through which the driver logs, and writes each line to\n"
    "standard error or to the file named by KORVEN_LOG.")
foreach(sarn_c RUNTIME KORVEN)
  # cpack writes its own postinst and postrm that call ldconfig where it sees
  # a library below /usr/lib; Debian does this by the trigger instead, so
  # both scripts are named here to keep cpack's away. The files do not
  # exist: cpack leaves them out of the package with a note.
  set(CPACK_DEBIAN_${sarn_c}_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/triggers ${CMAKE_CURRENT_BINARY_DIR}/no-maintscript/postinst
      ${CMAKE_CURRENT_BINARY_DIR}/no-maintscript/postrm)
endforeach()

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libsarnmd1 ${sarn_exact}, libkorven1 ${sarn_exact}")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
    "development files for the SARNMD serial driver\n${sarn_about}\n\n"
    "This package holds what a host is built with: the C header sarnmd.h (the\n"
    "records and codes of SarnMain), korven.h, the pkg-config file sarnmd.pc\n"
    "and the CMake package (find_package(sarnmd)).")

# sarnhost loads the driver with dlopen: dpkg-shlibdeps does not see it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libsarnmd1 ${sarn_exact}")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line host and controller simulator for the SARNMD driver\n${sarn_about}\n\n"
    "This package holds sarnhost, which reads, writes, polls and scans\n"
    "controllers through the driver with mbpoll's command lines, and plcsim, a\n"
    "Modbus ASCII / GTC controller simulator on a pseudo-terminal or a serial\n"
    "device that plays faults on demand.")
include(CPack)
