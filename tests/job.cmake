pelvane_add_test(job_tests
  SOURCES
    job/edge_fill_stage_test.cpp
    job/job_plan_test.cpp
    job/mask_rules_test.cpp
    job/nodata_mode_test.cpp
    job/parallel_stages_test.cpp
    job/progress_test.cpp
    job/run_job_checks_test.cpp
    job/run_job_output_test.cpp
    job/run_job_test.cpp
    job/strip_plan_test.cpp
    job/worker_pool_test.cpp
    job/write_back_test.cpp
  LIBS pelvane_job pelvane_test_support GDAL::GDAL
)
