# Sarnic's kernels: synthetic strips for each rule, and the whole olinda
# image against the reference outputs (GDAL reads the images in the test only).
pelvane_add_test(regression_fill_test
  SOURCES regression/regression_fill_test.cpp
  LIBS pelvane_regression)
pelvane_add_test(fallback_fill_test
  SOURCES regression/fallback_fill_test.cpp
  LIBS pelvane_regression)
pelvane_add_test(sarnic_olinda_test
  SOURCES regression/sarnic_olinda_test.cpp
  LIBS pelvane_regression pelvane_test_support)
pelvane_add_test(regression_strip_test
  SOURCES regression/regression_strip_test.cpp
  LIBS pelvane_regression pelvane_test_support Threads::Threads)
pelvane_add_test(refine_fill_test
  SOURCES regression/refine_fill_test.cpp
  LIBS pelvane_regression pelvane_solver)
pelvane_add_test(byte_lanes_test
  SOURCES regression/byte_lanes_test.cpp
  LIBS pelvane_regression)
pelvane_add_test(date_combination_test
  SOURCES regression/date_combination_test.cpp
  LIBS pelvane_regression)
pelvane_add_test(joint_regression_test
  SOURCES regression/joint_regression_test.cpp
  LIBS pelvane_regression)
pelvane_add_test(fill_alignment_test
  SOURCES regression/fill_alignment_test.cpp
  LIBS pelvane_regression)
