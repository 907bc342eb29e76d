# Installation and the Debian package (cpack -G DEB in a build folder). The program and
# its data sit together under /usr/lib/quorvelt/, so the data lookup beside the
# executable finds them; /usr/bin/quorvelt links to it.
set(DGL_VERSION 0.1.0)
set(_lib lib/quorvelt)

install(PROGRAMS $<TARGET_FILE:demo> DESTINATION ${_lib} RENAME quorvelt)
# install(PROGRAMS) is never stripped by CPack; the package carries no debug data.
install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_lib}/quorvelt\")")
install(DIRECTORY ${DGL_DATA_DIR}/ DESTINATION ${_lib}/data)
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ../${_lib}/quorvelt \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/quorvelt\" SYMBOLIC)")

# The desktop's application menu (the entry and its icon, made by the asset generator) and
# a kiosk unit for the console, shipped but not enabled.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/quorvelt.desktop DESTINATION share/applications)
install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/hicolor DESTINATION share/icons)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/quorvelt-kiosk.service DESTINATION lib/systemd/system)

# Debian wants a manual page, and its changelog (a native package's: no Debian revision)
# and the copyright file in the documentation folder, compressed without name or time.
set(_doc share/doc/quorvelt)
set(_changelog ${CMAKE_BINARY_DIR}/cmake-package/changelog)
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
# No mailbox exists for the project: the reserved .invalid domain says so honestly.
set(DGL_MAINTAINER "The quorvelt authors <quorvelt@quorvelt.invalid>" CACHE STRING "Package maintainer")
file(WRITE ${_changelog} "quorvelt (${DGL_VERSION}) unstable; urgency=low\n\n"
  "  * Packaged with CPack.\n\n -- ${DGL_MAINTAINER}  ${_date}\n")
execute_process(COMMAND gzip -9nf ${_changelog})
configure_file(${CMAKE_SOURCE_DIR}/cmake/quorvelt.1 ${CMAKE_BINARY_DIR}/cmake-package/quorvelt.1 COPYONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/cmake-package/quorvelt.1)
install(FILES ${CMAKE_BINARY_DIR}/cmake-package/quorvelt.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/cmake/copyright
        ${_changelog}.gz DESTINATION ${_doc})

# Debian's name for the architecture the build targets (a cross build packages for its
# target, not for the machine that runs cpack).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(_arch arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(_arch armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_arch amd64)
else()
  set(_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvelt)
set(CPACK_PACKAGE_VERSION ${DGL_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT ${DGL_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real-time OpenGL ES 2.0 demo with music")
set(CPACK_PACKAGE_DESCRIPTION "A self-running demo for Raspberry Pi class boards and any
Linux machine: a cover carousel to an MP3 track, then a sine scroller of
3D block letters over a procedural face, to a ProTracker module.
A key ends it, and so does the end of the music. The package adds it to the
desktop's menu and carries a unit to run it as a kiosk on the console.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Mesa's drivers come through libEGL at run time, not through a linked library.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libegl-mesa0, libgl1-mesa-dri")
set(CPACK_STRIP_FILES ON)
include(CPack)
