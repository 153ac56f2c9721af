# The QGIS plugin in a headless QGIS, from the build, against pelvane-cli (pytest).
add_test(NAME qgis_fill_gaps
         COMMAND ${Python3_EXECUTABLE} -m pytest -p no:cacheprovider -q
                 ${PROJECT_SOURCE_DIR}/qgis/tests/test_fill_gaps.py)
set_tests_properties(qgis_fill_gaps PROPERTIES
  TIMEOUT 600
  ENVIRONMENT "PYTHONPATH=${CMAKE_BINARY_DIR}/python;PYTHONDONTWRITEBYTECODE=1;QT_QPA_PLATFORM=offscreen;PELVANE_QGIS_PLUGINS=${CMAKE_BINARY_DIR}/qgis;PELVANE_CLI=$<TARGET_FILE:pelvane-cli>;PELVANE_TEST_DATA=${PELVANE_TEST_DATA}")
