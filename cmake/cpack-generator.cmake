# Read by cpack for each generator it runs (CPACK_PROJECT_CONFIG_FILE).
# The installer keeps the name it has always had, beside the zip of the same
# files.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
