# Tests of the _Tavrel module, under Python 2.7 and Python 3.
#
# vek_python_test(NAME <name> SCRIPT <file.py> [PYTHONPATH <dir>...] [ENV <VAR=value>...])
#
# Registers "<interpreter> -m unittest -v <module>" on the test script twice: <name> under
# ${VEK_PYTHON2}, labelled python2, and <name>_py3 under ${VEK_PYTHON3}, labelled python3 (when
# the Python 3 module, target _Tavrel_py3, is built). PYTHONPATH names the script's folder, the
# folder of the interpreter's _Tavrel and any further folders given. In the Python 3 test, the
# folder of every module target in PYTHONPATH and ENV that has a Python 3 twin (<target>_py3)
# is the twin's.
# LD_LIBRARY_PATH names the folder of the tavrellib stand-in, so KTLoad() finds it, and
# TAVREL_STANDIN_WORLD a world file of the test's own in the build tree, so the user's home
# is never touched (a test that needs a fresh world sets its own).
#
# Sanitizer builds: the interpreter is not instrumented, so the sanitizer runtime of the
# instrumented module is preloaded, with the C++ runtime (VEK_SANITIZER_PRELOAD), and child
# processes that a test starts inherit them. The interpreter keeps memory at exit that
# LeakSanitizer cannot see through (its objects live in arenas it does not scan); cmake/sanitizers/lsan.supp
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

# The items (folders or VAR=value) with each $<TARGET_FILE_DIR:target> whose target has a
# Python 3 twin naming the twin's folder.
function(_vek_python3_items out)
  set(items "")
  foreach(item IN LISTS ARGN)
    string(REGEX MATCHALL "\\$<TARGET_FILE_DIR:[A-Za-z0-9_.+-]+>" folders "${item}")
    foreach(folder IN LISTS folders)
      string(REGEX REPLACE "^\\$<TARGET_FILE_DIR:(.*)>$" "\\1" target "${folder}")
      if(TARGET ${target}_py3)
        string(REPLACE "${folder}" "$<TARGET_FILE_DIR:${target}_py3>" item "${item}")
      endif()
    endforeach()
    list(APPEND items "${item}")
  endforeach()
  set(${out} "${items}" PARENT_SCOPE)
endfunction()

function(_vek_python_add_test name interpreter label module path env workdir)
  list(JOIN path ":" path)
  set(env "PYTHONPATH=${path}" "PYTHONDONTWRITEBYTECODE=1"
          "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:tavrellib>"
          "TAVREL_STANDIN_WORLD=${CMAKE_CURRENT_BINARY_DIR}/${name}.world.json"
          ${VEK_PYTHON_SANITIZER_ENV} ${env})
  if(VEK_SANITIZER_PRELOAD)
    list(APPEND env "LD_PRELOAD=${VEK_SANITIZER_PRELOAD}")
  endif()
  add_test(NAME ${name} COMMAND ${interpreter} -m unittest -v ${module} WORKING_DIRECTORY ${workdir})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" LABELS ${label})
  if(VEK_TSAN)
    set_tests_properties(${name} PROPERTIES DISABLED TRUE)
  endif()
endfunction()

function(vek_python_test)
  cmake_parse_arguments(ARG "" "NAME;SCRIPT" "PYTHONPATH;ENV" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SCRIPT)
    message(FATAL_ERROR "vek_python_test: NAME and SCRIPT are required")
  endif()
  get_filename_component(script ${ARG_SCRIPT} ABSOLUTE)
  get_filename_component(script_dir ${script} DIRECTORY)
  get_filename_component(module ${script} NAME_WE)

  set(path ${script_dir} $<TARGET_FILE_DIR:_Tavrel> ${ARG_PYTHONPATH})
  _vek_python_add_test(${ARG_NAME} ${VEK_PYTHON2} python2 ${module} "${path}" "${ARG_ENV}"
                       ${CMAKE_CURRENT_BINARY_DIR})
  if(TARGET _Tavrel_py3)
    _vek_python3_items(path ${path})
    _vek_python3_items(env ${ARG_ENV})
    # The current folder comes first on the module path: Python 3 would load a Python 2.7
    # module of this folder there before its own.
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/python3)
    _vek_python_add_test(${ARG_NAME}_py3 ${VEK_PYTHON3} python3 ${module} "${path}" "${env}"
                         ${CMAKE_CURRENT_BINARY_DIR}/python3)
  endif()
endfunction()
