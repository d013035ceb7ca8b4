# Tests of the plug-in's support pieces. They log into memory (zarn_log_capture, with
# log_briefs.h to compare lines) instead of through the logger.

# Sanitizer allocators return null for impossible sizes instead of aborting, as malloc does.
set(zarn_null_on_failure_env "")
foreach(setting IN LISTS VEK_SANITIZER_ENV)
  if(setting MATCHES "^(ASAN|TSAN)_OPTIONS=")
    string(APPEND setting ":allocator_may_return_null=1")
  endif()
  list(APPEND zarn_null_on_failure_env "${setting}")
endforeach()

vek_gtest(zarn_crypto_support_tests THREADED
  SOURCES ring_test.cpp flex_test.cpp pool_test.cpp
  LIBS zarn_crypto_support zarn_log_capture
  ENV ${zarn_null_on_failure_env})
