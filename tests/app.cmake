pelvane_add_test(pelvane_form_test
  SOURCES app/number_text_test.cpp app/main_form_test.cpp app/dialog_template_test.cpp
  LIBS pelvane_form)

pelvane_add_test(pelvane_dialog_test
  SOURCES app/main_dialog_test.cpp
  LIBS pelvane_dialog Qt6::Test)
