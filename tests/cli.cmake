pelvane_add_test(cli_tests
  SOURCES
    cli/bad_inputs_test.cpp
    cli/cli_host_test.cpp
    cli/cli_run_test.cpp
    cli/command_line_test.cpp
  LIBS pelvane_cli_core pelvane_test_support GDAL::GDAL
)
# The whole-run tests start the real program.
add_dependencies(cli_tests pelvane-cli)
target_compile_definitions(cli_tests PRIVATE
  PELVANE_CLI="$<TARGET_FILE:pelvane-cli>"
  PELVANE_DOCS="${PROJECT_SOURCE_DIR}/docs"
  PELVANE_VERSION="${PELVANE_VERSION}")
