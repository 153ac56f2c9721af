# Solver: options, the kernels, the main loop and the band stage.
pelvane_add_test(solver_tests
  SOURCES
    solver/restore_options_test.cpp
  LIBS pelvane_solver)

# The band stage on the bundled olinda scene (reads GeoTIFFs, hence GDAL).
pelvane_add_test(solver_olinda_tests
  SOURCES solver/tolvek_olinda_test.cpp
  LIBS pelvane_solver GDAL::GDAL)
