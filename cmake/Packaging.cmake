# The Debian package (`make package`, or `cpack` in a configured build folder):
# kestrel_<version>-<revision>_<arch>.deb with the three programs, the desktop
# entry, icon, MIME type, AppStream entry, man pages and README.
#
# Configure with CMAKE_INSTALL_PREFIX=/usr and CMAKE_INSTALL_DOCDIR=share/doc/kestrel
# (the `package` preset does), so that the README path compiled into the
# window is where the package puts it.

set(KESTREL_PACKAGE_MAINTAINER "Kestrel maintainers <kestrel@tamsworth.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(KESTREL_PACKAGE_REVISION "1" CACHE STRING
    "Debian revision of the package; raise it to rebuild the same version")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
# The version is the project's own: project(Kestrel VERSION ...) is the one place it is written.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KESTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial terminal and loader for the Net Yaroze console")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KESTREL_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary first and indents the rest as dpkg wants (an empty
# line becomes " .").
set(CPACK_PACKAGE_DESCRIPTION "Kestrel shows what the Net Yaroze console's resident monitor prints over its
RS-232 line, sends what you type, downloads PS-X EXE and A-OUT executables
and data files into the console's memory, receives memory blocks and runs
auto files.

The package holds the window (kestrel), the command-line tool for build
scripts (kestrel-cli) and a monitor simulator on a pseudo-terminal to try
Kestrel without a console (kestrel-monitor-sim).")

# dpkg-shlibdeps finds the Qt 6 and C++ runtime libraries the programs link.
# The platform plugins are loaded at run time, so nothing links them: without
# qt6-qpa-plugins the window would not start on X11 or Wayland.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")

# The Debian-only files (copyright, changelog) and the compressed man pages
# are made in the staging folder after the install step, so that
# `make install` keeps its plain layout.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
set(KESTREL_DEBIAN_COPYRIGHT ${CMAKE_CURRENT_LIST_DIR}/debian/copyright)
set(KESTREL_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianStaging.cmake)

# Everything set above reaches CPack (and the staging script) through CPackConfig.cmake.
set(CPACK_KESTREL_DEBIAN_COPYRIGHT ${KESTREL_DEBIAN_COPYRIGHT})
set(CPACK_KESTREL_DEBIAN_CHANGELOG ${KESTREL_DEBIAN_CHANGELOG})

include(CPack)
