# The documents that are installed, and one Debian package of everything installed:
# `cpack -G DEB` in a build tree. Included after every install() rule of the project.

set(VEK_DOC_DIR share/doc/vek)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VEK_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/modules/crypto/crypto-vek/README.md
        DESTINATION ${VEK_DOC_DIR} RENAME libsignvek.md)
file(GLOB _vek_docs ${PROJECT_SOURCE_DIR}/docs/*.md)  # the module's reference
if(VEK_PYTHON AND _vek_docs)
  install(FILES ${_vek_docs} DESTINATION ${VEK_DOC_DIR})
endif()

set(CPACK_PACKAGE_NAME vek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vek developers <vek@localhost>")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}_amd64")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"key-media tool, signing plug-in and Python module around tavrellib.so
vek-cli lists hardware key media, creates and tests keys, and signs and
verifies files (manual page vek-cli(1)). libsignvek.so is a plug-in that
signs on a worker thread for a host program (header signvek.h, pkg-config
signvek). _Tavrel is a Python extension module of the library's functions.

The signature library tavrellib.so and the logger libjotlog.so come from
their vendor and are not in this package, which therefore does not depend
on them: install them where the dynamic loader finds them.")

# Depends: what dpkg-shlibdeps reads from the binaries (cJSON, the C++ runtime, the C
# library; tavrellib.so and libjotlog.so have no package and are skipped), and libzip,
# which vek-cli opens at run time by the soname the build found, so no binary names it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
find_program(VEK_DPKG_QUERY dpkg-query)
if(VEK_DPKG_QUERY)
  get_filename_component(_libzip_dir ${VEK_LIBZIP_FILE} DIRECTORY)
  execute_process(COMMAND ${VEK_DPKG_QUERY} -S ${_libzip_dir}/${VEK_LIBZIP_SONAME}
                  OUTPUT_VARIABLE _libzip_owner RESULT_VARIABLE _libzip_rc ERROR_QUIET)
  if(_libzip_rc EQUAL 0 AND _libzip_owner MATCHES "^([^:,]+)")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS ${CMAKE_MATCH_1})
  else()
    message(STATUS "Package: no Debian package holds ${VEK_LIBZIP_SONAME}; the package will not name it")
  endif()
endif()

include(CPack)
