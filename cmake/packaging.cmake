# Installing velmora as a Unix tool, and building a Debian package of it with
# `cpack -G DEB` in a build tree (or `make package` at the top). Included from
# the root after every program's folder, so that it sees all their targets.

# The programs. velmora installs itself (app/CMakeLists.txt); the companions
# are installed here whenever the build has them.
# A stripped program keeps the compiler's notes (.comment) unless told; a
# Debian package leaves them out, as dh_strip does.
foreach(program IN ITEMS velmora velmora-explain velmora-suite)
  if(NOT TARGET ${program})
    continue()
  endif()
  if(NOT program STREQUAL "velmora")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(CMAKE_STRIP)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
      endif()")
  endif()
endforeach()

# Manual pages: every doc/NAME.1.in is configured with the project version into
# <build>/doc/NAME.1 (for `man -l` and the tests) and installed compressed, as
# <build>/doc/man1/NAME.1.gz. gzip -n leaves out the name and time stamp, so
# the same page always gives the same bytes.
find_program(VELMORA_GZIP gzip REQUIRED)
file(GLOB velmora_manpage_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.1.in)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/doc/man1)
foreach(source IN LISTS velmora_manpage_sources)
  get_filename_component(page ${source} NAME_WLE)
  configure_file(${source} ${PROJECT_BINARY_DIR}/doc/${page} @ONLY)
  execute_process(COMMAND ${VELMORA_GZIP} -9n -c ${PROJECT_BINARY_DIR}/doc/${page}
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/doc/man1/${page}.gz
                  RESULT_VARIABLE velmora_gzip_status)
  if(NOT velmora_gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${page}")
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/doc/man1/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The documents: the README, the copyright and licence terms in Debian's
# machine-readable format, and the changelog, compressed like the pages. The
# changelog's newest entry must be this version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog velmora_changelog_top LIMIT_COUNT 1)
string(REPLACE "." "\\." velmora_version_pattern ${PROJECT_VERSION})
if(NOT velmora_changelog_top MATCHES "^velmora \\(${velmora_version_pattern}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${velmora_changelog_top}': "
                      "its newest entry must be for velmora ${PROJECT_VERSION}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/doc/changelog COPYONLY)
execute_process(COMMAND ${VELMORA_GZIP} -9n -c ${PROJECT_BINARY_DIR}/doc/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/doc/changelog.gz
                RESULT_VARIABLE velmora_gzip_status)
if(NOT velmora_gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip failed on the changelog")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The library for C++ programs: include/velmora/velmora.h, libvelmora.a,
# and a CMake package, so that a program finds it with find_package(Velmora)
# and links Velmora::velmora. The tool's own libraries it is made of go
# beside it, in a folder of their own, not to clash with other names. Not in
# the Debian package (CPACK_INSTALL_CMAKE_PROJECTS below), whose programs and
# Python module need none of it.
include(CMakePackageConfigHelpers)
set(velmora_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
install(TARGETS velmora_library EXPORT VelmoraTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(TARGETS explain_report explain_plot companion comparison datafile freeformat
                velmora_flags velmora_warnings
        EXPORT VelmoraTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/velmora COMPONENT Development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/velmora DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT Development)
install(EXPORT VelmoraTargets NAMESPACE Velmora:: FILE VelmoraTargets.cmake
        DESTINATION ${velmora_package_dir} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VelmoraConfig.cmake
                              INSTALL_DESTINATION ${velmora_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelmoraConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelmoraConfig.cmake ${PROJECT_BINARY_DIR}/VelmoraConfigVersion.cmake
        DESTINATION ${velmora_package_dir} COMPONENT Development)

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers <velmora-devel@lists.velmora.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "sum of squared differences between two tabulated data files, explained")
# Lines of the long description stay as written (under 80 characters each).
set(CPACK_PACKAGE_DESCRIPTION "\
velmora is a batch tool run in a directory holding a control file,
CompareThese.inp, that names two data files. Each data file has a header in
one of three layouts and a table of rows of three numbers. velmora reads both
tables, up to 1,000,000 rows each, and prints one line: the sum, over the rows
of the second file, of the squared differences between the second columns of
the two files, scaled by 1000. Unreadable input ends the run with a two-line
diagnostic and exit status 2.

velmora-explain reads the same pair through the same code and reports what
was read and how (layout, header, table lines, rows), where the total comes
from (the rows that add most) and the likely mistakes, as text or JSON, with
an optional SVG picture. It never changes a file it reads.

velmora-suite runs every case of a tree of such folders (in parallel, each
as velmora would), judges each total against the case's limit, and reports
one line a case, JSON, JUnit XML for CI servers, or a static HTML report.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
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

# The package holds the programs, their pages and documents, and the Python
# module where it is built; the C++ library's files are for `cmake --install`.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
if(VELMORA_PYTHON_BUILT)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};python;/")
  # The module is built for this python3 version, and imports numpy.
  set(velmora_python_version ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
  math(EXPR velmora_python_next "${Python3_VERSION_MINOR} + 1")
  set(velmora_python_depends
      "python3 (>= ${velmora_python_version}), python3 (<< ${Python3_VERSION_MAJOR}.${velmora_python_next}), python3-numpy")
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, ${velmora_python_depends}")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${velmora_python_depends}")
  endif()
endif()

include(CPack)
