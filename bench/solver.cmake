# Solver kernels: tv_restore (L1) on one band of a strip, and its steps alone.
pelvane_add_bench(solver_bench
  SOURCES solver/solver_bench.cpp
  LIBS pelvane_solver)
