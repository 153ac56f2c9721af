# The demo's programs: scene model, scoring, quicklooks, and whole runs of
# the programs themselves.
pelvane_add_test(demo_scene_test
  SOURCES demo/stripe_model_test.cpp demo/demo_scene_test.cpp demo/mirrored_tiling_test.cpp
  LIBS pelvane_demo)
pelvane_add_test(demo_score_test
  SOURCES demo/gap_score_test.cpp demo/linear_stretch_test.cpp
  LIBS pelvane_demo pelvane_test_support)
pelvane_add_test(demo_programs_test
  SOURCES demo/demo_programs_test.cpp
  LIBS pelvane_demo pelvane_test_support)
target_compile_definitions(demo_programs_test PRIVATE
  PELVANE_DEMO_SCENE="$<TARGET_FILE:pelvane-demo-scene>"
  PELVANE_SCORE="$<TARGET_FILE:pelvane-score>")
add_dependencies(demo_programs_test pelvane-demo-scene pelvane-score)
