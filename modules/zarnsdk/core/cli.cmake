# The tool's support pieces: target zarn_cli_support (cli request/response, zrc_fs, zrc_text).
add_library(zarn_cli_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/src/cli.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/zrc_fs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/zrc_text.cpp)
set_target_properties(zarn_cli_support PROPERTIES POSITION_INDEPENDENT_CODE ON)
vek_warnings(zarn_cli_support)
target_link_libraries(zarn_cli_support PUBLIC zarn_support)
