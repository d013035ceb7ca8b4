# The tool's support pieces, and a logger that keeps its lines in memory for tests.
add_library(zarn_log_capture STATIC log_capture.cpp)
vek_warnings(zarn_log_capture)
target_include_directories(zarn_log_capture PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zarn_log_capture PUBLIC zarn_support)

vek_gtest(zarn_cli_support_tests
  SOURCES cli_test.cpp zrc_text_test.cpp zrc_fs_test.cpp
  LIBS zarn_cli_support zarn_log_capture zarn_test_support)
