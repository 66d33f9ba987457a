# Installation of the documentation, and the Debian package.
#
#   cmake --install BUILD --prefix STAGE    # bin/gpbridge, bin/gpbridge-sim and
#                                           # lib/gpbridge/camlibs/simcam.so,
#                                           # the man pages, the docs
#   (cd BUILD && cpack)                     # BUILD/gpbridge_<version>_<arch>.deb
#
# Included at the end of the top-level CMakeLists.txt, after the install rule
# of the gpbridge binary.

include(GNUInstallDirs)

set(GPBRIDGE_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

# The man pages, compressed as Debian installs man pages where gzip exists.
find_program(GPBRIDGE_GZIP gzip)
foreach(page gpbridge gpbridge-sim)
  set(source ${GPBRIDGE_SOURCE_ROOT}/docs/${page}.1)
  if(GPBRIDGE_GZIP)
    set(installed ${CMAKE_BINARY_DIR}/${page}.1.gz)
    add_custom_command(OUTPUT ${installed}
      COMMAND ${GPBRIDGE_GZIP} -9 -n -c ${source} > ${installed}
      DEPENDS ${source}
      COMMENT "Compressing the man page ${page}.1"
      VERBATIM)
    add_custom_target(${page}_man ALL DEPENDS ${installed})
  else()
    set(installed ${source})
  endif()
  install(FILES ${installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${GPBRIDGE_SOURCE_ROOT}/docs/protocol.md
              ${GPBRIDGE_SOURCE_ROOT}/docs/simulated-camera.md
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
# Shared libraries (libgphoto2, libc, libstdc++, ...) come from
# dpkg-shlibdeps, with the versions the binaries need; naming them here as
# well would list them twice. Without dpkg-shlibdeps, the camera library is
# named by hand (interface generation with shared-library majors 6 and 12).
# gpbridge-sim needs mount(8); unshare(1) and flock(1) are in util-linux,
# which is essential.
find_program(GPBRIDGE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(GPBRIDGE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "mount")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgphoto2-6 (>= 2.5), libgphoto2-port12 (>= 2.5), mount")
endif()

include(CPack)
