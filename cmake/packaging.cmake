# The Windows installer and the portable zip, made by the `installer` target:
#   QSR470Updater-<version>-setup.exe  (NSIS)
#   QSR470Updater-<version>.zip        (the same files, unpacked anywhere)
# Both carry the window program, the command line, the SVF converter when it
# is built, the README and the sample script with its files.
if(NOT WIN32)
  return()
endif()

set(QSR470_PACKAGE_NAME QSR470Updater-${PROJECT_VERSION})
set(package_dir ${CMAKE_BINARY_DIR}/package)
set(stage ${package_dir}/${QSR470_PACKAGE_NAME})
set(setup ${CMAKE_BINARY_DIR}/${QSR470_PACKAGE_NAME}-setup.exe)
set(zip ${CMAKE_BINARY_DIR}/${QSR470_PACKAGE_NAME}.zip)

set(program_targets QSR470Updater qsr470-update)
if(TARGET qsr470-svf2effect)
  list(APPEND program_targets qsr470-svf2effect)
endif()
file(GLOB examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*)
list(SORT examples)

# The installer puts in and takes out exactly these files, so uninstalling
# never removes what a technician added to the folders.
set(install_lines "")
set(remove_lines "")
set(program_files "")
foreach(target IN LISTS program_targets)
  string(APPEND install_lines "  File \"\${STAGE}\\$<TARGET_FILE_NAME:${target}>\"\n")
  string(APPEND remove_lines "  Delete \"$INSTDIR\\$<TARGET_FILE_NAME:${target}>\"\n")
  list(APPEND program_files $<TARGET_FILE:${target}>)
endforeach()
string(APPEND install_lines "  File \"\${STAGE}\\README.txt\"\n  SetOutPath \"$INSTDIR\\examples\"\n")
string(APPEND remove_lines "  Delete \"$INSTDIR\\README.txt\"\n")
foreach(example IN LISTS examples)
  get_filename_component(name ${example} NAME)
  string(APPEND install_lines "  File \"\${STAGE}\\examples\\${name}\"\n")
  string(APPEND remove_lines "  Delete \"$INSTDIR\\examples\\${name}\"\n")
endforeach()
string(APPEND remove_lines "  RMDir \"$INSTDIR\\examples\"\n")
file(GENERATE OUTPUT ${package_dir}/files.nsh CONTENT
"; The package's files, written by cmake/packaging.cmake.
!macro InstallFiles
  SetOutPath \"$INSTDIR\"
${install_lines}!macroend
!macro RemoveFiles
${remove_lines}!macroend
")

find_program(QSR470_MAKENSIS makensis)
if(QSR470_MAKENSIS)
  set(make_setup ${QSR470_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage}
      -DFILES=${package_dir}/files.nsh -DOUTFILE=${setup}
      -DICON=${PROJECT_SOURCE_DIR}/app/win32/updater.ico ${PROJECT_SOURCE_DIR}/cmake/installer.nsi)
else()
  set(make_setup ${CMAKE_COMMAND} -E echo "makensis not found: scripts/install-deps.sh installs nsis")
  list(APPEND make_setup COMMAND ${CMAKE_COMMAND} -E false)
endif()

add_custom_command(
  OUTPUT ${setup} ${zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/examples
  COMMAND ${CMAKE_COMMAND} -E copy ${program_files} ${stage}/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${stage}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${examples} ${stage}/examples/
  COMMAND ${CMAKE_COMMAND} -E chdir ${package_dir}
          ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${QSR470_PACKAGE_NAME}
  COMMAND ${make_setup}
  DEPENDS ${program_targets} ${examples} ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/cmake/installer.nsi ${package_dir}/files.nsh
          ${PROJECT_SOURCE_DIR}/app/win32/updater.ico
  COMMENT "Making ${QSR470_PACKAGE_NAME}-setup.exe and ${QSR470_PACKAGE_NAME}.zip"
  VERBATIM)
add_custom_target(installer DEPENDS ${setup} ${zip})
