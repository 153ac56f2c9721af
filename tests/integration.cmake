# Whole jobs on the bundled olinda scene against the reference outputs.
pelvane_add_test(olinda_job_test
  SOURCES integration/olinda_job_test.cpp
  LIBS pelvane_job pelvane_test_support)

# The refined fill scored against the real scene, and the status raster.
pelvane_add_test(refined_fill_test
  SOURCES integration/refined_fill_test.cpp
  LIBS pelvane_job pelvane_test_support)
