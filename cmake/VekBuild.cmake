# Build-wide settings: the parts built, warnings, sanitizers, dependencies and test helpers.

option(VEK_ASAN "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VEK_TSAN "Build everything with ThreadSanitizer" OFF)
# The module needs Python 2.7, Python 3's headers and SWIG; vek-cli, the plug-in and the
# stand-ins need none of them.
option(VEK_PYTHON "Build the module _Tavrel for Python 2.7 and Python 3" ON)
# Off for a package build: no test program, no benchmark.
option(BUILD_TESTING "Build the tests and the benchmarks" ON)
if(VEK_ASAN AND VEK_TSAN)
  message(FATAL_ERROR "VEK_ASAN and VEK_TSAN exclude each other")
endif()

if(VEK_ASAN)
  set(VEK_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(VEK_TSAN)
  set(VEK_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(VEK_SANITIZER_FLAGS)
  add_compile_options(${VEK_SANITIZER_FLAGS})
  add_link_options(${VEK_SANITIZER_FLAGS})
endif()

# The hardening of Debian's own packages (dpkg-buildflags), for every binary: full RELRO and
# immediate binding in every build, PIE executables, and outside the sanitizer builds, whose
# own checks they would hide, the stack protector, the fortified C library functions (which
# need the optimiser: not in a Debug build), and beyond Debian 12's flags control-flow
# protection (IBT and shadow-stack marking) and stack-clash probing.
add_link_options(LINKER:-z,relro LINKER:-z,now)
include(CheckPIESupported)
check_pie_supported()
if(NOT VEK_SANITIZER_FLAGS)
  add_compile_options(-fstack-protector-strong "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>"
                      -fcf-protection -fstack-clash-protection)
endif()

# Our own code builds clean with these; generated code opts out per target.
set(VEK_WARNINGS -Wall -Wextra -Wformat=2)
if(NOT VEK_SANITIZER_FLAGS)
  list(APPEND VEK_WARNINGS -Werror)  # sanitizer builds can raise optimiser-only false alarms
endif()
function(vek_warnings target)
  target_compile_options(${target} PRIVATE ${VEK_WARNINGS})
endfunction()

# Python 2.7, Python 3's headers and SWIG first: what a new machine most often lacks stops
# configure at once.
if(VEK_PYTHON)
  include(VekPython2)
  include(VekPython3)
  include(VekSwig)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)  # runs the generators
find_package(OpenSSL 3 REQUIRED)
if(BUILD_TESTING)
  find_package(GTest REQUIRED)
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
# vek-cli opens libzip at run time by its soname, VEK_LIBZIP_SONAME, from VEK_LIBZIP_FILE.
get_target_property(_libzip_files PkgConfig::LIBZIP INTERFACE_LINK_LIBRARIES)
list(GET _libzip_files 0 VEK_LIBZIP_FILE)
execute_process(COMMAND ${CMAKE_READELF} -d ${VEK_LIBZIP_FILE} OUTPUT_VARIABLE _libzip_dynamic)
if(NOT _libzip_dynamic MATCHES "\\(SONAME\\)[^[]*\\[([^]]+)\\]")
  message(FATAL_ERROR "no soname in ${VEK_LIBZIP_FILE}, the libzip pkg-config found")
endif()
set(VEK_LIBZIP_SONAME ${CMAKE_MATCH_1})
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
find_package(Threads REQUIRED)


# Runtime environment shared by every test that loads an instrumented library into a
# process that is not instrumented itself (the Python interpreter). The sanitizer runtime
# intercepts __cxa_throw and resolves the real one when it starts: libstdc++ must then be
# loaded already, or the first C++ exception thrown in a library loaded later (even one it
# catches itself) aborts the process. VEK_SANITIZER_PRELOAD names both, separated by ':'.
set(VEK_SANITIZER_PRELOAD "")
if(VEK_ASAN OR VEK_TSAN)
  if(VEK_ASAN)
    set(_rt libasan.so)
  else()
    set(_rt libtsan.so)
  endif()
  foreach(_lib ${_rt} libstdc++.so.6)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_lib}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${_lib} is (${_path})")
    endif()
    get_filename_component(_path "${_path}" REALPATH)
    list(APPEND VEK_SANITIZER_PRELOAD "${_path}")
  endforeach()
  list(JOIN VEK_SANITIZER_PRELOAD ":" VEK_SANITIZER_PRELOAD)
endif()

# Sanitizer options every test runs with; suppressions live in cmake/sanitizers/.
set(VEK_SANITIZER_ENV
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_odr_violation=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1"
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/sanitizers/lsan.supp:print_suppressions=0")

# vek_gtest(<target> [THREADED] SOURCES ... LIBS ... [ENV ...]): a GoogleTest executable
# registered with CTest. THREADED tests carry the label "tsan": CI also runs them under
# ThreadSanitizer.
function(vek_gtest target)
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  vek_warnings(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES ENVIRONMENT "${VEK_SANITIZER_ENV};${ARG_ENV}")
  if(ARG_THREADED)
    set_tests_properties(${target} PROPERTIES LABELS tsan)
  endif()
endfunction()

# vek_install(<target> <RUNTIME|LIBRARY> <destination> [COMPONENT <name>]): installs a
# target that links the stand-ins. The build RPATH CMake derives for an installed target
# ends in an empty entry (room for its install-time rewrite), which the loader takes for
# the current folder: the build tree's copy carries the stand-ins' folder alone instead,
# the installed copy none.
include(GNUInstallDirs)
function(vek_install target kind destination)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  set(component)
  if(ARG_COMPONENT)
    set(component COMPONENT ${ARG_COMPONENT})
  endif()
  set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON)
  target_link_options(${target} PRIVATE "LINKER:-rpath,$<TARGET_FILE_DIR:tavrellib>")
  install(TARGETS ${target} ${kind} DESTINATION ${destination} ${component})
  install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\")"
          ${component})
endfunction()

# vek_doc_example(<doc.md> <name> <output>): the example <name> of a Markdown document (the
# fenced block after "<!-- example: <name> -->"), written to <output> at build time, so a
# test builds or runs what the document shows. Tests may call the extractor themselves:
# ${Python3_EXECUTABLE} ${VEK_EXTRACT_EXAMPLE} <doc.md> <name> <output>.
set(VEK_EXTRACT_EXAMPLE ${CMAKE_SOURCE_DIR}/cmake/extract_example.py)
function(vek_doc_example doc name output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${Python3_EXECUTABLE} ${VEK_EXTRACT_EXAMPLE} ${doc} ${name} ${output}
    DEPENDS ${doc} ${VEK_EXTRACT_EXAMPLE}
    COMMENT "Extracting the example ${name} of ${doc}")
endfunction()

if(VEK_PYTHON)
  include(VekPython)
endif()
