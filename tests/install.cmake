# What `cmake --install` and the packages deliver, in a temporary prefix; the
# manual page against --help.
add_executable(pelvane_readme_lookup install/readme_lookup.cpp)
target_link_libraries(pelvane_readme_lookup PRIVATE pelvane_dialog)
set(python_version)
if(TARGET _pelvane)  # not in the sanitizer build
  set(python_version ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
endif()
add_test(NAME install_tree
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install_tree.py ${CMAKE_COMMAND}
                 ${CMAKE_BINARY_DIR} ${PELVANE_VERSION} $<TARGET_FILE:pelvane_readme_lookup> ${python_version})
add_test(NAME man_page_options
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_man_page.py
                 $<TARGET_FILE:pelvane-cli> ${PROJECT_SOURCE_DIR}/docs/man/pelvane-cli.1)
set_tests_properties(install_tree man_page_options PROPERTIES TIMEOUT 120)
if(TARGET pelvane_qgis_zip)
  add_test(NAME install_qgis_plugin
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_qgis_plugin.py ${CMAKE_COMMAND}
                   ${CMAKE_BINARY_DIR} ${python_version} $<TARGET_FILE:pelvane-cli>
                   ${PELVANE_TEST_DATA}/olinda ${PELVANE_QGIS_ZIP})
  set_tests_properties(install_qgis_plugin PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
# lintian on every package, where it is installed (scripts/bootstrap leaves it out).
if(TARGET _pelvane)  # not in the sanitizer build
  add_test(NAME packages_lintian
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/install/check_packages.py ${CMAKE_BINARY_DIR})
  set_tests_properties(packages_lintian PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
