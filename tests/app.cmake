pelvane_add_test(pelvane_form_test
  SOURCES app/number_text_test.cpp app/main_form_test.cpp app/dialog_template_test.cpp
  LIBS pelvane_form)

pelvane_add_test(pelvane_dialog_test
  SOURCES app/main_dialog_test.cpp app/main_dialog_job_test.cpp app/help_viewer_test.cpp
  LIBS pelvane_dialog pelvane_job pelvane_test_support Qt6::Test)
# The program itself is started by one of the tests.
add_dependencies(pelvane_dialog_test pelvane)
target_compile_definitions(pelvane_dialog_test PRIVATE PELVANE_PROGRAM="$<TARGET_FILE:pelvane>")
