# The pelvane Python package's tests (pytest, in python/tests), one CTest entry
# per file so that they run side by side. They import the package from the
# build and compare with the pelvane-cli built beside it.
foreach(suite fill fill_files batch module)
  add_test(NAME python_${suite}
           COMMAND ${Python3_EXECUTABLE} -m pytest -p no:cacheprovider -q
                   ${PROJECT_SOURCE_DIR}/python/tests/test_${suite}.py)
  set_tests_properties(python_${suite} PROPERTIES
    TIMEOUT 600
    ENVIRONMENT "PYTHONPATH=${CMAKE_BINARY_DIR}/python;PYTHONDONTWRITEBYTECODE=1;PELVANE_CLI=$<TARGET_FILE:pelvane-cli>;PELVANE_TEST_DATA=${PELVANE_TEST_DATA}")
endforeach()
