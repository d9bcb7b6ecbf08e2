# Installing velmora as a Unix tool, and building a Debian package of it with
# `cpack -G DEB` in a build tree (or `make package` at the top).
include(GNUInstallDirs)

# The manual page carries the project version, so it is generated into the
# build tree from its template.
set(VELMORA_MANPAGE ${PROJECT_BINARY_DIR}/doc/velmora.1)
configure_file(${PROJECT_SOURCE_DIR}/doc/velmora.1.in ${VELMORA_MANPAGE} @ONLY)

install(FILES ${VELMORA_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "sum of squared differences between two tabulated data files")
# Lines of the long description stay as written (under 80 characters each).
set(CPACK_PACKAGE_DESCRIPTION "\
velmora is a batch tool run in a directory holding a control file,
CompareThese.inp, that names two data files. Each data file has a header in
one of three layouts and a table of rows of three numbers. velmora reads both
tables, up to 1,000,000 rows each, and prints one line: the sum, over the rows
of the second file, of the squared differences between the second columns of
the two files, scaled by 1000. Unreadable input ends the run with a two-line
diagnostic and exit status 2.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmora developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(velmora_deb_arch amd64)
find_program(VELMORA_DPKG dpkg)
if(VELMORA_DPKG)
  execute_process(COMMAND ${VELMORA_DPKG} --print-architecture
                  OUTPUT_VARIABLE velmora_dpkg_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE velmora_dpkg_status ERROR_QUIET)
  if(velmora_dpkg_status EQUAL 0 AND velmora_dpkg_arch)
    set(velmora_deb_arch ${velmora_dpkg_arch})
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${velmora_deb_arch})

# The library versions the binary needs are best taken from the binary itself;
# where dpkg-shlibdeps cannot run, the two runtime libraries are named plainly.
find_program(VELMORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(velmora_shlibdeps_works FALSE)
if(VELMORA_DPKG_SHLIBDEPS)
  execute_process(COMMAND ${VELMORA_DPKG_SHLIBDEPS} --version
                  RESULT_VARIABLE velmora_shlibdeps_status OUTPUT_QUIET ERROR_QUIET)
  if(velmora_shlibdeps_status EQUAL 0)
    set(velmora_shlibdeps_works TRUE)
  endif()
endif()
if(velmora_shlibdeps_works)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()

include(CPack)
