pelvane_add_bench(job_bench SOURCES job/job_bench.cpp LIBS pelvane_job)
