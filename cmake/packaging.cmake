# Installation of the documentation, and the Debian package.
#
#   cmake --install BUILD --prefix STAGE    # bin/gpbridge, the man page, the docs
#   (cd BUILD && cpack)                     # BUILD/gpbridge_<version>_<arch>.deb
#
# Included at the end of the top-level CMakeLists.txt, after the install rule
# of the gpbridge binary.

include(GNUInstallDirs)

set(GPBRIDGE_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

# The man page, compressed as Debian installs man pages where gzip exists.
find_program(GPBRIDGE_GZIP gzip)
if(GPBRIDGE_GZIP)
  set(GPBRIDGE_MAN_PAGE ${CMAKE_BINARY_DIR}/gpbridge.1.gz)
  add_custom_command(OUTPUT ${GPBRIDGE_MAN_PAGE}
    COMMAND ${GPBRIDGE_GZIP} -9 -n -c ${GPBRIDGE_SOURCE_ROOT}/docs/gpbridge.1 > ${GPBRIDGE_MAN_PAGE}
    DEPENDS ${GPBRIDGE_SOURCE_ROOT}/docs/gpbridge.1
    COMMENT "Compressing the man page"
    VERBATIM)
  add_custom_target(gpbridge_man ALL DEPENDS ${GPBRIDGE_MAN_PAGE})
else()
  set(GPBRIDGE_MAN_PAGE ${GPBRIDGE_SOURCE_ROOT}/docs/gpbridge.1)
endif()
install(FILES ${GPBRIDGE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${GPBRIDGE_SOURCE_ROOT}/docs/protocol.md
              ${GPBRIDGE_SOURCE_ROOT}/schema/events.schema.json
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(GPBRIDGE_MAINTAINER "gpbridge developers <gpbridge@localhost>"
    CACHE STRING "Maintainer written into the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "gpbridge")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${GPBRIDGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "headless bridge between a host program and one tethered camera")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "gpbridge lets a host application control one tethered digital camera"
  "through libgphoto2. The host starts it as a child process, writes one"
  "command per line on its standard input (find cameras, open one, fire the"
  "shutter, live view on and off, close) and reads one JSON event per line"
  "on its standard output. Every new photo is downloaded into a folder"
  "without overwriting anything, live view is published as a file, and"
  "camera or file failures are reported as events, never fatal.")
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GPBRIDGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The camera library: interface generation with shared-library majors 6 and 12.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgphoto2-6 (>= 2.5), libgphoto2-port12 (>= 2.5)")
# libc, libstdc++ and libgcc come from dpkg-shlibdeps, where it is available.
find_program(GPBRIDGE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(GPBRIDGE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
