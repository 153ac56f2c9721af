pelvane_add_bench(job_bench SOURCES job/job_bench.cpp LIBS pelvane_job)
pelvane_add_bench(fill_stages_bench SOURCES job/fill_stages_bench.cpp LIBS pelvane_job)
