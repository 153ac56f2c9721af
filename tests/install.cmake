# The manual page against --help.
add_test(NAME man_page_options
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_man_page.py
                 $<TARGET_FILE:pelvane-cli> ${PROJECT_SOURCE_DIR}/docs/man/pelvane-cli.1)
set_tests_properties(man_page_options PROPERTIES TIMEOUT 60 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
