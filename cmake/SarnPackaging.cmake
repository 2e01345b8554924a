# The Debian package: cpack -G DEB in a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr builds one package, sarnmd, with the driver,
# libkorven, the tools, the header, the pkg-config and CMake files and the
# manual pages, for `apt install ./sarnmd_VERSION_ARCH.deb`.
# tests/install/check_package.sh builds, checks (lintian) and tries it.
include(GNUInstallDirs)

set(SARN_PACKAGE_MAINTAINER "sarnmd maintainers <maintainers@sarnmd.example.org>"
    CACHE STRING "Maintainer of the Debian package: name <address>")

# Debian's documentation files: the copyright and a compressed changelog.
set(SARN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/sarnmd)
set(SARN_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog)
set(SARN_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.in ${SARN_CHANGELOG} @ONLY)
add_custom_command(OUTPUT ${SARN_CHANGELOG_GZ} COMMAND sh -c "gzip -9n -c '${SARN_CHANGELOG}' > '${SARN_CHANGELOG_GZ}'"
                   DEPENDS ${SARN_CHANGELOG} VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${SARN_CHANGELOG_GZ})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${SARN_CHANGELOG_GZ} DESTINATION ${SARN_DOC_DIR})

set(CPACK_PACKAGE_NAME sarnmd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "sarnmd")
set(CPACK_PACKAGE_CONTACT "${SARN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus ASCII / GTC serial driver for supervisory hosts")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "A plug-in driver that a supervisory host loads to read and write controller\n"
       "values over a serial line in Modbus ASCII or GTC, with a stand-in host log\n"
       "library, the sarnhost command-line host and the plcsim controller simulator.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The dynamic linker's cache is brought up to date by a trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://sarnmd.example.org/")
include(CPack)
