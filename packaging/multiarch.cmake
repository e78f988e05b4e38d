# Run by CPack once the packages are built (CPACK_POST_BUILD_SCRIPTS): marks
# the packages named in CPACK_OSL_MULTIARCH_SAME "Multi-Arch: same", which
# CPack's own settings cannot say, so that dpkg installs them for several
# architectures side by side.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package "${name}")
  if(NOT name MATCHES "\\.deb$" OR NOT package IN_LIST CPACK_OSL_MULTIARCH_SAME)
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${name}: dpkg-deb -R failed")
  endif()
  file(READ ${tree}/DEBIAN/control control)
  if(NOT control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control
                         "${control}")
    if(NOT control MATCHES "\nMulti-Arch: same\n")
      message(FATAL_ERROR "${name}: no Architecture field to put Multi-Arch after")
    endif()
    file(WRITE ${tree}/DEBIAN/control "${control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${deb}
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  file(REMOVE_RECURSE ${tree})
  if(failed)
    message(FATAL_ERROR "${name}: dpkg-deb -b failed")
  endif()
  message(STATUS "${name}: Multi-Arch: same")
endforeach()
