# qelt_cli11: CLI11 (header-only, Debian's libcli11-dev) for the command lines
# of qelttrace and qeltbridge. The cross compiler does not search /usr/include,
# and must not: only the CLI folder is copied into the build tree and put on
# its path.
add_library(qelt_cli11 INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_path(QELT_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT QELT_CLI11_INCLUDE)
    message(FATAL_ERROR "CLI/CLI.hpp not found: install libcli11-dev (scripts/setup.sh)")
  endif()
  file(COPY ${QELT_CLI11_INCLUDE}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)
  target_include_directories(qelt_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)
else()
  find_package(CLI11 CONFIG REQUIRED)
  target_link_libraries(qelt_cli11 INTERFACE CLI11::CLI11)
endif()
