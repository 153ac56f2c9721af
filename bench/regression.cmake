# Sarnic's kernels on a synthetic striped strip: pixels per second.
pelvane_add_bench(regression_fill_bench
  SOURCES regression_fill_bench.cpp
  LIBS pelvane_regression)
