# Installation and the Debian package.
#
#   cmake --install BUILD [--prefix DIR]     bin/KARVO2, bin/KARVO and their man pages
#   cd BUILD && cpack -G DEB                 karvo_<version>_<arch>.deb, for /usr
#
# Only the two programs and their section 1 man pages are installed: the libraries,
# tests and benchmarks stay in the build tree.
include(GNUInstallDirs)

install(TARGETS KARVO2 KARVO RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian installs man pages compressed. gzip -n leaves out the name and time, so
# that the same page gives the same bytes in every build.
set(KARVO_MAN_PAGES KARVO2.1 KARVO.1)
find_program(KARVO_GZIP gzip)
set(man_installed)
foreach(page IN LISTS KARVO_MAN_PAGES)
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  if(KARVO_GZIP)
    set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${packed}
                       COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PROJECT_BINARY_DIR}/man/${page}
                       COMMAND ${KARVO_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/${page}
                       DEPENDS ${source}
                       COMMENT "Compressing man page ${page}"
                       VERBATIM)
    list(APPEND man_installed ${packed})
  else()
    list(APPEND man_installed ${source})
  endif()
endforeach()
add_custom_target(karvo_man ALL DEPENDS ${man_installed})
install(FILES ${man_installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME karvo)
set(CPACK_PACKAGE_VENDOR "KARVO developers")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "KARVO developers")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MDX music file converters: MIDI file, FM voice bank and voice text")
set(CPACK_PACKAGE_DESCRIPTION
    "KARVO2 and KARVO convert the FM tracks of an MDX music file to a Standard MIDI File. KARVO2 writes the file's four-operator FM voices as a VST bank file, KARVO as an OPM voice text file.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The package's dependencies are what the programs link against, as dpkg-shlibdeps
# (Debian: dpkg-dev) finds them; CPack picks the programs out with `file`. Without
# either, the C library is named without a version (the C++ runtime is linked in).
find_program(KARVO_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KARVO_FILE file)
if(KARVO_DPKG_SHLIBDEPS AND KARVO_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps or file not found: the package names its dependencies without versions")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
endif()

include(CPack)
