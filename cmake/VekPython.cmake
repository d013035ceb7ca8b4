# Python 2.7 tests of the _Tavrel module.
#
# vek_python_test(NAME <name> SCRIPT <file.py> [PYTHONPATH <dir>...] [ENV <VAR=value>...])
#
# Runs "${VEK_PYTHON2} -m unittest -v <module>" on the test script, with PYTHONPATH naming
# the script's folder, the folder of the built _Tavrel.so and any further folders given.
# LD_LIBRARY_PATH names the folder of the tavrellib stand-in, so KTLoad() finds it, and
# TAVREL_STANDIN_WORLD a world file of the test's own in the build tree, so the user's home
# is never touched (a test that needs a fresh world sets its own).
#
# Sanitizer builds: the interpreter is not instrumented, so the sanitizer runtime of the
# instrumented module is preloaded, with the C++ runtime (VEK_SANITIZER_PRELOAD), and child
# processes that a test starts inherit them. The interpreter keeps memory at exit that LeakSanitizer cannot see
# through (its objects live in arenas it does not scan); cmake/sanitizers/lsan.supp
# suppresses leaks whose allocating frame lies in the interpreter. Python tests keep only
# that one frame of each allocation's stack (malloc_context_size=2), so an allocation made
# directly by our code stays reported; heap-error reports then show one frame of the
# allocating and freeing stacks (the faulting stack is complete).
#
# Under ThreadSanitizer (VEK_TSAN) the tests are registered but disabled: ctest lists them
# as "Not Run (Disabled)". The module starts no thread of its own.
# The sanitizer options of a Python process, without the preload.
set(VEK_PYTHON_SANITIZER_ENV "")
foreach(item IN LISTS VEK_SANITIZER_ENV)
  if(item MATCHES "^ASAN_OPTIONS=")
    string(APPEND item ":malloc_context_size=2")
  endif()
  list(APPEND VEK_PYTHON_SANITIZER_ENV "${item}")
endforeach()

function(vek_python_test)
  cmake_parse_arguments(ARG "" "NAME;SCRIPT" "PYTHONPATH;ENV" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SCRIPT)
    message(FATAL_ERROR "vek_python_test: NAME and SCRIPT are required")
  endif()
  get_filename_component(script ${ARG_SCRIPT} ABSOLUTE)
  get_filename_component(script_dir ${script} DIRECTORY)
  get_filename_component(module ${script} NAME_WE)

  set(path ${script_dir} $<TARGET_FILE_DIR:_Tavrel> ${ARG_PYTHONPATH})
  list(JOIN path ":" path)
  set(env "PYTHONPATH=${path}" "PYTHONDONTWRITEBYTECODE=1"
          "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:tavrellib>"
          "TAVREL_STANDIN_WORLD=${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.world.json")
  list(APPEND env ${VEK_PYTHON_SANITIZER_ENV})
  if(VEK_SANITIZER_PRELOAD)
    list(APPEND env "LD_PRELOAD=${VEK_SANITIZER_PRELOAD}")
  endif()

  add_test(NAME ${ARG_NAME} COMMAND ${VEK_PYTHON2} -m unittest -v ${module}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT "${env};${ARG_ENV}")
  if(VEK_TSAN)
    set_tests_properties(${ARG_NAME} PROPERTIES DISABLED TRUE)
  endif()
endfunction()
