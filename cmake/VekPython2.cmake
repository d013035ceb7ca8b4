# Python 2.7.18 from pyenv, in the folder VEK_PYTHON2_PREFIX (default: `pyenv prefix 2.7.18`,
# else $PYENV_ROOT/versions/2.7.18, else ~/.pyenv/versions/2.7.18).
#
# The module compiles against its headers and never links libpython; the tests that embed
# the interpreter link it through the target vek_python2_embed. That needs the shared
# library lib/libpython2.7.so, or else a static libpython2.7.a that links into an
# executable (a pyenv build without --enable-shared makes one without -fPIC, which does
# not). Without either configure stops here, saying how to get one.
#
# Sets VEK_PYTHON2 (the interpreter), VEK_PYTHON2_INCLUDE (the headers),
# VEK_PYTHON2_LIBRARY (what vek_python2_embed links) and VEK_PYTHON2_SITE (the module's folder
# under the install prefix: a folder of this project's own, which no Debian Python looks in,
# since Debian has no Python 2.7 that could load a module built for this one).

if(NOT VEK_PYTHON2_PREFIX)
  execute_process(COMMAND pyenv prefix 2.7.18 OUTPUT_VARIABLE _py2_prefix
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _py2_rc ERROR_QUIET)
  if(NOT _py2_rc EQUAL 0 OR NOT _py2_prefix)
    set(_py2_root "$ENV{PYENV_ROOT}")
    if(NOT _py2_root)
      set(_py2_root "$ENV{HOME}/.pyenv")
    endif()
    set(_py2_prefix "${_py2_root}/versions/2.7.18")
  endif()
  set(VEK_PYTHON2_PREFIX "${_py2_prefix}" CACHE PATH "Folder of Python 2.7.18 (bin/, include/, lib/)")
endif()

set(_py2_get "Install it with: PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 2.7.18
(or name another Python 2.7 build with -DVEK_PYTHON2_PREFIX=<folder>)")

set(VEK_PYTHON2 "${VEK_PYTHON2_PREFIX}/bin/python2.7")
set(VEK_PYTHON2_SITE lib/vek/python2.7)
set(VEK_PYTHON2_INCLUDE "${VEK_PYTHON2_PREFIX}/include/python2.7")
if(NOT EXISTS "${VEK_PYTHON2}" OR NOT EXISTS "${VEK_PYTHON2_INCLUDE}/Python.h")
  message(FATAL_ERROR "Python 2.7.18 not found in ${VEK_PYTHON2_PREFIX}: "
                      "no bin/python2.7 or include/python2.7/Python.h there.\n${_py2_get}")
endif()

set(VEK_PYTHON2_LIBRARY "${VEK_PYTHON2_PREFIX}/lib/libpython2.7.so")
if(NOT EXISTS "${VEK_PYTHON2_LIBRARY}")
  set(VEK_PYTHON2_LIBRARY "")
  foreach(_py2_archive "${VEK_PYTHON2_PREFIX}/lib/libpython2.7.a"
                       "${VEK_PYTHON2_PREFIX}/lib/python2.7/config/libpython2.7.a")
    if(EXISTS "${_py2_archive}" AND NOT VEK_PYTHON2_LIBRARY)
      set(_py2_probe "${CMAKE_BINARY_DIR}/CMakeFiles/python2_embed_probe.c")
      file(WRITE "${_py2_probe}"
           "#include <Python.h>\nint main(void) { Py_Initialize(); Py_Finalize(); return 0; }\n")
      try_compile(_py2_archive_links "${CMAKE_BINARY_DIR}/CMakeFiles/python2_embed_probe"
                  SOURCES "${_py2_probe}"
                  CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${VEK_PYTHON2_INCLUDE}"
                  LINK_LIBRARIES "${_py2_archive}" pthread dl util m
                  OUTPUT_VARIABLE _py2_probe_output)
      if(_py2_archive_links)
        set(VEK_PYTHON2_LIBRARY "${_py2_archive}")
      else()
        message(STATUS "Python 2.7: ${_py2_archive} does not link into an executable")
      endif()
    endif()
  endforeach()
endif()
if(NOT VEK_PYTHON2_LIBRARY)
  message(FATAL_ERROR "Python 2.7.18 in ${VEK_PYTHON2_PREFIX} was built without a shared library: "
                      "${VEK_PYTHON2_PREFIX}/lib/libpython2.7.so is missing, and no static "
                      "libpython2.7.a there links. The tests that embed the interpreter need it.\n${_py2_get}")
endif()
message(STATUS "Python 2.7: ${VEK_PYTHON2}, embedded from ${VEK_PYTHON2_LIBRARY}")

# What a program that embeds the interpreter links. A static interpreter exports its
# symbols from the program, for the extension modules it loads.
add_library(vek_python2_embed INTERFACE)
target_include_directories(vek_python2_embed SYSTEM INTERFACE "${VEK_PYTHON2_INCLUDE}")
target_link_libraries(vek_python2_embed INTERFACE "${VEK_PYTHON2_LIBRARY}")
if(VEK_PYTHON2_LIBRARY MATCHES "\\.a$")
  target_link_libraries(vek_python2_embed INTERFACE pthread dl util m)
  target_link_options(vek_python2_embed INTERFACE -Wl,--export-dynamic)
endif()
