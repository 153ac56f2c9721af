# Debian packages, made by CPack (make package, or cpack in the build folder):
#   pelvane          the dialog and pelvane-cli, the user guide, the desktop
#                    entry, the icons and the manual page
#   python3-pelvane  the Python module, for Debian's python3
#   qgis-plugin-pelvane  the QGIS plugin over the Python module
# All install under /usr; their library dependencies come from the binaries
# (dpkg-shlibdeps).
# Each package carries, as Debian wants it, its copyright file and its
# changelog (compressed with -n: the same bytes on every build) in
# share/doc/<package>, beside the documents it installs.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
add_custom_target(pelvane-debian-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
foreach(component_package pelvane:pelvane python:python3-pelvane qgis:qgis-plugin-pelvane)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  if(NOT component STREQUAL "pelvane" AND NOT TARGET _pelvane)  # the sanitizer build
    continue()
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
          DESTINATION share/doc/${package} COMPONENT ${component})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION share/lintian/overrides
          RENAME ${package} COMPONENT ${component})
endforeach()
# The documents: the README and docs/ (with their pictures) with the
# programs, the Python guide with the module.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/pelvane COMPONENT pelvane)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/pelvane/docs COMPONENT pelvane
        PATTERN man EXCLUDE)
if(TARGET _pelvane)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/python.md DESTINATION share/doc/python3-pelvane
          COMPONENT python)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Pelvane developers <developers@pelvane.org>")
# The install runs with the prefix /usr itself, into a staging folder
# (DESTDIR), so that the Python module takes the folder Debian's python3
# reads under /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL pelvane)
if(TARGET _pelvane)  # not in the sanitizer build
  list(APPEND CPACK_COMPONENTS_ALL python qgis)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)

set(CPACK_DEBIAN_PELVANE_PACKAGE_NAME pelvane)
# Qt loads its platform plugins at run time, so no library names them.
set(CPACK_DEBIAN_PELVANE_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The first line is the summary; an empty line separates paragraphs.
set(CPACK_COMPONENT_PELVANE_DESCRIPTION
  "gap filling for multi-band satellite rasters
Pelvane fills the gaps of a multi-band raster (the no-data stripes of a
failed scanner, cloud holes, any pixel marked missing) from an image of the
same scene taken at another date, by local regression (Sarnic) and by
total-variation restoration (Tolvek), and writes a GeoTIFF.

This package holds the dialog (pelvane) and the command line (pelvane-cli).")

# The module links the job statically: it needs no pelvane package, only
# the Python it was built for and the packages it imports.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-pelvane)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(python_version ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3 (>= ${python_version}), python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor}), python3-numpy, python3-gdal")
# Only the batch tool (python3 -m pelvane.batch) needs these.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-distributed, python3-psutil")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "gap filling for multi-band satellite rasters (Python 3 module)
Pelvane fills the gaps of a multi-band raster from an image of the same
scene taken at another date and writes a GeoTIFF.

This package holds the Python 3 module pelvane: fills of numpy arrays and of
files, and a batch tool for whole archives on Dask.")

# A package of its own, so that the machines that run the Python module
# without QGIS (batch workers, servers) need not install QGIS; Debian names
# QGIS plugins qgis-plugin-*. Python files only, the same on every machine.
set(CPACK_DEBIAN_QGIS_PACKAGE_NAME qgis-plugin-pelvane)
set(CPACK_DEBIAN_QGIS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_QGIS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_QGIS_PACKAGE_DEPENDS
  "python3-pelvane (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), python3-qgis (>= 3.22)")
set(CPACK_COMPONENT_QGIS_DESCRIPTION
  "gap filling for multi-band satellite rasters (QGIS plugin)
Pelvane fills the gaps of a multi-band raster from an image of the same
scene taken at another date and writes a GeoTIFF.

This package holds the QGIS plugin pelvane_qgis: the Processing algorithm
'Fill gaps from another date' (pelvane:fillgaps), for the Processing
Toolbox, models, processing.run and qgis_process. Enable it once in QGIS's
plugin manager (or with qgis_process plugins enable pelvane_qgis).")

include(CPack)
