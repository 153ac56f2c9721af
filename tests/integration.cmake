# Whole jobs on the bundled olinda scene against the reference outputs.
pelvane_add_test(olinda_job_test
  SOURCES integration/olinda_job_test.cpp
  LIBS pelvane_job pelvane_test_support)

# The refined fill scored against the real scene, and the status raster.
pelvane_add_test(refined_fill_test
  SOURCES integration/refined_fill_test.cpp
  LIBS pelvane_job pelvane_test_support)

# The refined fill from several dates on three real dates.
pelvane_add_test(several_dates_test
  SOURCES integration/several_dates_test.cpp
  LIBS pelvane_job pelvane_test_support)
target_compile_definitions(several_dates_test PRIVATE PELVANE_CLI="$<TARGET_FILE:pelvane-cli>")
add_dependencies(several_dates_test pelvane-cli)
