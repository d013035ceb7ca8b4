# The Python 3 that the second _Tavrel is built for: Debian's /usr/bin/python3 (3.11, headers
# from python3-dev), or the interpreter named with -DVEK_PYTHON3_EXECUTABLE=<path> (3.8 or
# newer). It is asked for its headers, its module file name and where it looks for modules, so
# that the module, its tests and its installed copy all fit that one interpreter. (The generators
# run on the Python 3 that find_package finds, Python3_EXECUTABLE; they need no headers.)
#
# Sets VEK_PYTHON3 (the interpreter), VEK_PYTHON3_INCLUDE (its headers),
# VEK_PYTHON3_SUFFIX (a module file's ending, e.g. .cpython-311-x86_64-linux-gnu.so),
# VEK_PYTHON3_SITE (the module's folder under the install prefix: lib/python3/dist-packages for
# a Debian Python 3, which looks there by itself, else lib/python3.X/site-packages),
# VEK_PYTHON3_LIBRARY (its shared library, or empty) and the target vek_python3_embed (what a
# program that embeds the interpreter links).

if(NOT VEK_PYTHON3_EXECUTABLE)
  set(VEK_PYTHON3_EXECUTABLE /usr/bin/python3)
endif()
set(VEK_PYTHON3_EXECUTABLE "${VEK_PYTHON3_EXECUTABLE}" CACHE FILEPATH
    "The Python 3 (3.8 or newer) that the Python 3 module is built for")

set(_py3_get "On Debian 12: apt-get install python3 python3-dev (or scripts/install-deps.sh); \
or name another Python 3.8 or newer with -DVEK_PYTHON3_EXECUTABLE=<path>")

execute_process(
  COMMAND "${VEK_PYTHON3_EXECUTABLE}" -c "import os, sys, sysconfig
v = sysconfig.get_config_var
print('%d.%d' % sys.version_info[:2])
print(sysconfig.get_path('include'))
print(v('EXT_SUFFIX') or '.so')
print(v('LIBDIR') or '')
print(v('LDLIBRARY') or '')
print(os.path.join(sys.base_prefix, 'lib', 'python3', 'dist-packages') in sys.path)"
  OUTPUT_VARIABLE _py3_info RESULT_VARIABLE _py3_rc ERROR_VARIABLE _py3_err
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _py3_rc EQUAL 0)
  message(FATAL_ERROR "Python 3 not found: ${VEK_PYTHON3_EXECUTABLE} does not run (${_py3_rc}${_py3_err}).\n${_py3_get}")
endif()
string(REPLACE "\n" ";" _py3_info "${_py3_info}")
list(GET _py3_info 0 VEK_PYTHON3_VERSION)
list(GET _py3_info 1 VEK_PYTHON3_INCLUDE)
list(GET _py3_info 2 VEK_PYTHON3_SUFFIX)
list(GET _py3_info 3 _py3_libdir)
list(GET _py3_info 4 _py3_ldlibrary)
list(GET _py3_info 5 _py3_debian)
if(VEK_PYTHON3_VERSION VERSION_LESS 3.8)
  message(FATAL_ERROR "${VEK_PYTHON3_EXECUTABLE} is Python ${VEK_PYTHON3_VERSION}; the module needs 3.8 or newer.\n${_py3_get}")
endif()
if(NOT EXISTS "${VEK_PYTHON3_INCLUDE}/Python.h")
  message(FATAL_ERROR "Python ${VEK_PYTHON3_VERSION}'s headers are missing: no ${VEK_PYTHON3_INCLUDE}/Python.h. "
                      "The Python 3 module compiles against them. Install the package python3-dev "
                      "(apt-get install python3-dev, or scripts/install-deps.sh), or name another Python 3 "
                      "with -DVEK_PYTHON3_EXECUTABLE=<path>.")
endif()
set(VEK_PYTHON3 "${VEK_PYTHON3_EXECUTABLE}")
if(_py3_debian STREQUAL "True")
  set(VEK_PYTHON3_SITE lib/python3/dist-packages)
else()
  set(VEK_PYTHON3_SITE lib/python${VEK_PYTHON3_VERSION}/site-packages)
endif()

# The shared library the embedding test links (python3-dev's libpython3.X.so on Debian). An
# interpreter built without one is still served; only that test is left out.
set(VEK_PYTHON3_LIBRARY "")
foreach(_py3_library "${_py3_libdir}/${_py3_ldlibrary}" "${_py3_libdir}/libpython${VEK_PYTHON3_VERSION}.so")
  if(NOT VEK_PYTHON3_LIBRARY AND _py3_library MATCHES "\\.so$" AND EXISTS "${_py3_library}")
    set(VEK_PYTHON3_LIBRARY "${_py3_library}")
  endif()
endforeach()
message(STATUS "Python 3: ${VEK_PYTHON3} (${VEK_PYTHON3_VERSION}), modules named _Tavrel${VEK_PYTHON3_SUFFIX}, installed in ${VEK_PYTHON3_SITE}")
if(NOT VEK_PYTHON3_LIBRARY)
  message(STATUS "Python 3: no shared library in ${_py3_libdir}; binding_converters_test_py3 is left out")
endif()

add_library(vek_python3_embed INTERFACE)
target_include_directories(vek_python3_embed SYSTEM INTERFACE "${VEK_PYTHON3_INCLUDE}")
if(VEK_PYTHON3_LIBRARY)
  target_link_libraries(vek_python3_embed INTERFACE "${VEK_PYTHON3_LIBRARY}")
endif()
