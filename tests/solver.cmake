# Solver: options, the kernels, the main loop and the band stage.
pelvane_add_test(solver_tests
  SOURCES
    solver/restore_options_test.cpp
    solver/shrinkage_test.cpp
    solver/u_step_gauss_seidel_test.cpp
    solver/tv_restore_test.cpp
    solver/tv_restore_pipelined_test.cpp
    solver/tolvek_fill_strip_test.cpp
    solver/push_pull_test.cpp
    solver/edge_interpolation_test.cpp
    solver/hole_copies_test.cpp
  LIBS pelvane_solver pelvane_job)

# The band stage on the bundled olinda scene (reads GeoTIFFs, hence GDAL).
pelvane_add_test(solver_olinda_tests
  SOURCES solver/tolvek_olinda_test.cpp
  LIBS pelvane_solver pelvane_job pelvane_test_support)
