# What `cmake --install` and the packages deliver: the installed tree in a
# temporary prefix (the programs, Help's guide, the desktop entry, the icons,
# the manual page, the Python module), and the manual page against --help.
add_executable(pelvane_readme_lookup install/readme_lookup.cpp)
target_link_libraries(pelvane_readme_lookup PRIVATE pelvane_dialog)

set(install_check_args
  --cmake ${CMAKE_COMMAND}
  --build ${CMAKE_BINARY_DIR}
  --source ${PROJECT_SOURCE_DIR}
  --version ${PELVANE_VERSION}
  --readme-lookup $<TARGET_FILE:pelvane_readme_lookup>)
if(TARGET _pelvane)
  list(APPEND install_check_args --python ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
endif()
add_test(NAME install_tree
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install_tree.py
                 ${install_check_args})
set_tests_properties(install_tree PROPERTIES TIMEOUT 120 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")

add_test(NAME man_page_options
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_man_page.py
                 $<TARGET_FILE:pelvane-cli> ${PROJECT_SOURCE_DIR}/docs/man/pelvane-cli.1)
set_tests_properties(man_page_options PROPERTIES TIMEOUT 60 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
