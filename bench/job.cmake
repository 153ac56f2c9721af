pelvane_add_bench(job_bench SOURCES job/job_bench.cpp LIBS pelvane_job)
pelvane_add_bench(fill_stages_bench SOURCES job/fill_stages_bench.cpp LIBS pelvane_job)

# The refined fill's estimated errors on a case, for bench/accuracy/error_check.py.
add_executable(pelvane-edge-error accuracy/edge_error.cpp)
target_link_libraries(pelvane-edge-error PRIVATE pelvane_job)
