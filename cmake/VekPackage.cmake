# The documents that are installed, and the Debian packages of everything installed:
# `cpack -G DEB` in a build tree makes one package of each part's install component (the table
# at the end) and a second component with its copyright and Debian changelog, and for each that
# holds binaries a -dbgsym package of their debug information, which the package itself holds
# stripped.
# Included after every install() rule of the project.

# The documents keep their paths relative to the top of the clone, so that their links lead
# to the installed files as they lead to the clone's.
set(VEK_DOC_DIR share/doc/vek)
file(GLOB _vek_docs RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
foreach(_doc README.md modules/crypto/crypto-vek/README.md ${_vek_docs})
  get_filename_component(_doc_dir ${_doc} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${_doc} DESTINATION ${VEK_DOC_DIR}/${_doc_dir} COMPONENT doc)
endforeach()

get_cmake_property(_vek_components COMPONENTS)
if("Unspecified" IN_LIST _vek_components)
  message(FATAL_ERROR "An install() rule names no COMPONENT: each component is a Debian package "
                      "(cmake/VekPackage.cmake), and one without a name would be a package of its own")
endif()

# The package version and maintainer come from the latest entry of the Debian changelog,
# whose upstream version must be the project's.
set(_vek_changelog ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vek_changelog})
file(STRINGS ${_vek_changelog} _vek_changelog_head LIMIT_COUNT 1)
if(NOT _vek_changelog_head MATCHES "^vek \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "${_vek_changelog} does not start with an entry \"vek (<version>-<release>)\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${_vek_changelog}: its latest entry is of version ${CMAKE_MATCH_1}, the project's is ${PROJECT_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set(_vek_deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
file(STRINGS ${_vek_changelog} _vek_maintainer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" CPACK_PACKAGE_CONTACT "${_vek_maintainer}")

# What every package holds in share/doc/<package>/: the copyright and the changelog, compressed
# as Debian ships it (no name or time stamp in the gzip header, so the package is
# reproducible). The trigger file makes dpkg run ldconfig for a package of shared libraries.
set(_vek_debian_dir ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${_vek_debian_dir})
execute_process(COMMAND gzip -9nc ${_vek_changelog} OUTPUT_FILE ${_vek_debian_dir}/changelog.Debian.gz
                RESULT_VARIABLE _vek_gzip_rc)
if(NOT _vek_gzip_rc EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${_vek_changelog}: ${_vek_gzip_rc}")
endif()
file(WRITE ${_vek_debian_dir}/triggers "activate-noawait ldconfig\n")

set(_vek_outside "The signature library tavrellib.so and the logger libjotlog.so come from
their vendor and are not in this package, which therefore does not depend
on them: install them where the dynamic loader finds them.")

# vek_deb_package(<component> <package> SECTION <section> SUMMARY <line> DESCRIPTION <text>
#                 [ARCHITECTURE all] [LDCONFIG] [DEPENDS <relation>...])
# The Debian package <package> of the install component <component>, when the build has it.
# Its copyright and changelog are a component of their own (<component>-debian) in the same
# package, outside a plain `cmake --install`. LDCONFIG: it holds a shared library in the
# loader's folders. Its Depends are <relation>... and what dpkg-shlibdeps reads from its
# binaries.
set(VEK_DEB_PACKAGES "")
function(vek_deb_package component package)
  cmake_parse_arguments(ARG "LDCONFIG" "SECTION;SUMMARY;DESCRIPTION;ARCHITECTURE" "DEPENDS" ${ARGN})
  if(NOT component IN_LIST _vek_components)
    return()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_vek_debian_dir}/changelog.Debian.gz
          DESTINATION share/doc/${package} COMPONENT ${component}-debian EXCLUDE_FROM_ALL)
  string(TOUPPER ${component} comp)
  string(TOUPPER ${package} pkg)
  set(CPACK_COMPONENT_${comp}_GROUP ${package} PARENT_SCOPE)
  set(CPACK_COMPONENT_${comp}-DEBIAN_GROUP ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${pkg}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${pkg}_PACKAGE_SECTION ${ARG_SECTION} PARENT_SCOPE)
  set(CPACK_DEBIAN_${pkg}_DESCRIPTION "${ARG_SUMMARY}\n${ARG_DESCRIPTION}\n\n${_vek_outside}" PARENT_SCOPE)
  if(ARG_ARCHITECTURE)
    set(CPACK_DEBIAN_${pkg}_PACKAGE_ARCHITECTURE ${ARG_ARCHITECTURE} PARENT_SCOPE)
  endif()
  if(ARG_LDCONFIG)
    set(CPACK_DEBIAN_${pkg}_PACKAGE_CONTROL_EXTRA ${_vek_debian_dir}/triggers PARENT_SCOPE)
  endif()
  list(JOIN ARG_DEPENDS ", " depends)
  set(CPACK_DEBIAN_${pkg}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  set(VEK_DEB_PACKAGES ${VEK_DEB_PACKAGES} ${package} PARENT_SCOPE)
endfunction()

# vek-cli opens libzip at run time by the soname the build found, so no binary names it: its
# package is the one that holds that file.
set(_vek_libzip_package "")
find_program(VEK_DPKG_QUERY dpkg-query)
if(VEK_DPKG_QUERY)
  get_filename_component(_libzip_dir ${VEK_LIBZIP_FILE} DIRECTORY)
  execute_process(COMMAND ${VEK_DPKG_QUERY} -S ${_libzip_dir}/${VEK_LIBZIP_SONAME}
                  OUTPUT_VARIABLE _libzip_owner RESULT_VARIABLE _libzip_rc ERROR_QUIET)
  if(_libzip_rc EQUAL 0 AND _libzip_owner MATCHES "^([^:,]+)")
    set(_vek_libzip_package ${CMAKE_MATCH_1})
  else()
    message(STATUS "Package: no Debian package holds ${VEK_LIBZIP_SONAME}; the package of vek-cli will not name it")
  endif()
endif()

# The module's Python 3 package is for the Python 3 minor version whose ABI it was built for.
set(_py3_depends "")
if(VEK_PYTHON3_VERSION MATCHES "^3\\.([0-9]+)$")
  math(EXPR _py3_next_minor "${CMAKE_MATCH_1} + 1")
  set(_py3_depends "python3 (>= ${VEK_PYTHON3_VERSION}~)" "python3 (<< 3.${_py3_next_minor})")
endif()

vek_deb_package(vek-cli vek-cli SECTION utils
  SUMMARY "hardware key-media tool around the signature library tavrellib.so"
  DESCRIPTION "vek-cli lists hardware key media, creates and tests keys, and signs and
verifies files (manual page vek-cli(1))."
  DEPENDS ${_vek_libzip_package})
vek_deb_package(signvek libsignvek SECTION libs LDCONFIG
  SUMMARY "signing plug-in for host programs"
  DESCRIPTION "libsignvek.so gives a host program the signer's certificate, hashes data
and signs it on a worker thread, with one private key on a hardware key
medium or in a key file. Hosts load it by the name libsignvek.so.")
vek_deb_package(signvek-dev libsignvek-dev SECTION libdevel
  SUMMARY "development files of the signing plug-in libsignvek.so"
  DESCRIPTION "The header signvek.h and the pkg-config file signvek, for host programs
that load or link libsignvek.so."
  DEPENDS "libsignvek (= ${_vek_deb_version})")
vek_deb_package(python3 python3-tavrel SECTION python
  SUMMARY "Python 3 module _Tavrel of the functions of tavrellib.so"
  DESCRIPTION "_Tavrel loads the signature library tavrellib.so at run time, binds its
functions into one table, and gives scripts wrappers of them, records and
constants, turning library errors into exceptions. Built for Python ${VEK_PYTHON3_VERSION}."
  DEPENDS ${_py3_depends})
vek_deb_package(python2 vek-python2.7 SECTION python
  SUMMARY "Python 2.7 module _Tavrel of the functions of tavrellib.so"
  DESCRIPTION "_Tavrel for a Python 2.7.18 of one's own (Debian has none), installed in
/usr/${VEK_PYTHON2_SITE}, outside every Debian Python's path: a .pth file
in that Python's site-packages names the folder.")
set(_vek_all_packages ${VEK_DEB_PACKAGES})
list(TRANSFORM _vek_all_packages APPEND " (= ${_vek_deb_version})")
vek_deb_package(doc vek SECTION doc ARCHITECTURE all
  SUMMARY "documentation of vek-cli, libsignvek.so and _Tavrel, and all three"
  DESCRIPTION "The README, the plug-in's user guide, the module reference and the
other documents (vek-cli's reference, the packages, Python 2.7, the
stand-in world), in /usr/share/doc/vek. It depends on every other
package made with it."
  DEPENDS ${_vek_all_packages})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The split strips the packaged binaries itself; CPACK_STRIP_FILES would strip them first and
# leave the -dbgsym packages empty.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# The packages go to a folder of their own, emptied of earlier packages on each run.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_clear_packages.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_finish_packages.cmake)

include(CPack)
