# Makes the QGIS plugin's zip: the folder pelvane_qgis, with the pelvane
# package beside the plugin in pelvane_qgis/lib/pelvane, its module stripped.
#   cmake -DPLUGIN=<plugin folder> -DMODULE=<pelvane package folder> -DSTRIP=<strip>
#         -DZIP=<zip to write> -P make_zip.cmake
set(stage ${ZIP}.stage)
file(REMOVE_RECURSE ${stage})
file(COPY ${PLUGIN} DESTINATION ${stage} PATTERN __pycache__ EXCLUDE)
file(COPY ${MODULE} DESTINATION ${stage}/pelvane_qgis/lib PATTERN __pycache__ EXCLUDE)
file(GLOB modules ${stage}/pelvane_qgis/lib/pelvane/*.so)
execute_process(COMMAND ${STRIP} --strip-unneeded ${modules} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip pelvane_qgis
                WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${stage})
