# SWIG: exactly the version whose output binding/swig_postprocess.py knows (its
# SWIG_VERSION line is the one place that names it). Another version stops configure here
# instead of the build later.

file(STRINGS "${PROJECT_SOURCE_DIR}/binding/swig_postprocess.py" _swig_line
     REGEX "^SWIG_VERSION = 'Version [0-9.]+'$")
string(REGEX REPLACE ".*Version ([0-9.]+)'$" "\\1" VEK_SWIG_VERSION "${_swig_line}")
if(NOT VEK_SWIG_VERSION)
  message(FATAL_ERROR "binding/swig_postprocess.py names no SWIG_VERSION")
endif()

find_package(SWIG)
if(NOT SWIG_FOUND)
  message(FATAL_ERROR "SWIG ${VEK_SWIG_VERSION} not found. Install it with: apt-get install swig "
                      "(Debian 12 ships ${VEK_SWIG_VERSION}), or name it with -DSWIG_EXECUTABLE=<path>")
endif()
if(NOT SWIG_VERSION VERSION_EQUAL VEK_SWIG_VERSION)
  message(FATAL_ERROR "SWIG ${SWIG_VERSION} (${SWIG_EXECUTABLE}) is not supported: the module's "
                      "post-processing (binding/swig_postprocess.py) handles the output of SWIG "
                      "${VEK_SWIG_VERSION} only. Install SWIG ${VEK_SWIG_VERSION} (Debian 12: apt-get install swig) "
                      "and name it with -DSWIG_EXECUTABLE=<path> if another one comes first on PATH.")
endif()
