# What a user installs, as one set of install() rules, and the packages CPack
# makes from them with the `installer` target (or `cpack` in the build folder):
#   Windows build: QSR470Updater-<version>-setup.exe (NSIS) and
#                  QSR470Updater-<version>.zip (the same files, unpacked anywhere)
#   Linux build:   qsr470-updater_<version>_<arch>.deb
# The Windows packages are one flat folder, the program's own, because the
# window looks for its script, its files and its keys beside itself. The
# Debian package follows the file system's layout instead.

set(QSR470_PACKAGE_CONTACT "Corvane <service@corvane.com>" CACHE STRING
    "Maintainer named by the Debian package")

if(WIN32)
  set(bin_dir .)
  set(doc_dir .)
  set(examples_dir examples)
  # Trusted keys for signed jobs: only administrators may add a key, since a
  # key decides which jobs may reach a unit. The installer sets the folder's
  # rights itself (cmake/NSIS.template.in), wherever it is installed.
  set(keys_dir keys)
else()
  set(bin_dir bin)
  set(doc_dir share/doc/qsr470-updater)
  set(examples_dir ${doc_dir}/examples)
  set(man_dir share/man/man1)
  # Where the updater looks for keys on Linux, whatever the prefix; owned by
  # root and not writable by others, for the reason above.
  set(keys_dir /etc/qsr470-updater/keys)
endif()

# Every program this build makes; the Windows build has no gang and no unit.
set(QSR470_PROGRAMS "")
foreach(program QSR470Updater qsr470-update qsr470-gang qsr470-svf2effect qsr470-unitsim)
  if(TARGET ${program})
    list(APPEND QSR470_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${QSR470_PROGRAMS} RUNTIME DESTINATION ${bin_dir})

if(WIN32)
  # The DLLs of shared libraries the programs link go beside them (none while
  # everything links statically): an imported shared library's by itself, and
  # any named in QSR470_WINDOWS_DLLS by the code that finds a library without
  # a target of its own. On Linux the package depends on them instead.
  foreach(program IN LISTS QSR470_PROGRAMS)
    install(FILES $<TARGET_RUNTIME_DLLS:${program}> DESTINATION ${bin_dir})
  endforeach()
  if(QSR470_WINDOWS_DLLS)
    install(FILES ${QSR470_WINDOWS_DLLS} DESTINATION ${bin_dir})
  endif()
endif()

file(GLOB examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*)
install(FILES ${examples} DESTINATION ${examples_dir})
install(DIRECTORY DESTINATION ${keys_dir})

if(WIN32)
  # Opened from the Start menu in Notepad, which wants CR LF; the README is
  # plain text that reads as it is.
  configure_file(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION ${doc_dir})
else()
  # Debian keeps manual pages and the changelog compressed, without a time
  # stamp so that the package is the same from build to build.
  find_program(QSR470_GZIP gzip REQUIRED)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package-doc)
  file(GLOB man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/*.1)
  set(compressed "")
  foreach(source IN LISTS man_pages ITEMS ${PROJECT_SOURCE_DIR}/doc/changelog)
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_BINARY_DIR}/package-doc/${name}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_BINARY_DIR}/package-doc/${name}
      COMMAND ${QSR470_GZIP} -9nf ${CMAKE_BINARY_DIR}/package-doc/${name}
      DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${output})
  endforeach()
  add_custom_target(qsr470_package_doc ALL DEPENDS ${compressed})
  list(FILTER compressed INCLUDE REGEX "\\.1\\.gz$")
  install(FILES ${compressed} DESTINATION ${man_dir})
  set(changelog ${CMAKE_BINARY_DIR}/package-doc/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/doc/copyright ${changelog}
          DESTINATION ${doc_dir})
endif()

# --- CPack ---

set(CPACK_PACKAGE_NAME qsr470-updater)
set(CPACK_PACKAGE_VENDOR Corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QSR470_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "update Corvane QSR470 units over a serial line")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# Per generator settings that only hold while it runs (the installer's name).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-generator.cmake)

if(WIN32)
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_FILE_NAME QSR470Updater-${PROJECT_VERSION})
  # The installer is ours (cmake/NSIS.template.in): CPack's own adds pages,
  # PATH editing and an uninstall shortcut that the installer never had.
  set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake)
  set(CPACK_NSIS_DISPLAY_NAME "${QSR470_PROGRAM_TITLE}")
  # The name of the installed programs' entry: an identity, not the title. A
  # later installer replaces the entry only under the same name, so it stays
  # as it is if the title ever changes.
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Corvane QSR470 Updater")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "Corvane\\\\QSR470 Updater")
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/win32/updater.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/win32/updater.ico)
  set(CPACK_NSIS_INSTALLED_ICON_NAME QSR470Updater.exe)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  # Start menu, under Corvane: the window, and the README beside it.
  set(CPACK_PACKAGE_EXECUTABLES QSR470Updater "QSR470 Updater")
  set(CPACK_NSIS_MENU_LINKS README.txt "QSR470 Updater README")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION
      "Brings a Corvane QSR470 unit up to date over a serial line, driven by a\n"
      "plain-text script: the extended boot, the four keyboard banks and the two\n"
      "PROM devices on the unit's JTAG chain. With qsr470-gang for several\n"
      "units at once, qsr470-svf2effect to convert vendor SVF files and\n"
      "qsr470-unitsim, a virtual unit for tests and training.")
  string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
  # Depends from the libraries the programs link, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)

# The packages of this build; the programs first, as `cpack` alone does not
# build them.
add_custom_target(installer
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Making the packages with CPack"
  VERBATIM)
add_dependencies(installer ${QSR470_PROGRAMS})
if(TARGET qsr470_package_doc)
  add_dependencies(installer qsr470_package_doc)
endif()
