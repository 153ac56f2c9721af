# Sarnic's kernels on a synthetic striped strip and on the olinda scene:
# pixels per second, and the fast kernel against the plain reference.
pelvane_add_bench(regression_fill_bench
  SOURCES regression/regression_fill_bench.cpp
  LIBS pelvane_regression GDAL::GDAL)
target_compile_definitions(regression_fill_bench PRIVATE
  PELVANE_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data")
