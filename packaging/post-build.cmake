# Run by CPack once the packages are built (CPACK_POST_BUILD_SCRIPTS), for
# what CPack's own settings cannot say or get wrong:
#  - the packages named in CPACK_OSL_MULTIARCH_SAME are marked "Multi-Arch:
#    same", so that dpkg installs them for several architectures side by side;
#  - a debugging-symbols package (.ddeb) gets its md5sums listed by path in
#    the package (CPack's list has the paths of its own staging tree), and,
#    as Debian's own -dbgsym packages do, its documentation directory as a
#    link to that of the package it belongs to (and depends on exactly):
#    the copyright and the changelog are that package's.
function(osl_rebuild deb tree)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${deb} OUTPUT_QUIET
                  RESULT_VARIABLE failed)
  file(REMOVE_RECURSE ${tree})
  if(failed)
    message(FATAL_ERROR "${deb}: dpkg-deb -b failed")
  endif()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package "${name}")
  set(tree ${deb}.tree)
  if(name MATCHES "\\.deb$" AND package IN_LIST CPACK_OSL_MULTIARCH_SAME)
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
    osl_rebuild(${deb} ${tree})
    message(STATUS "${name}: Multi-Arch: same")
  elseif(name MATCHES "\\.ddeb$" AND package MATCHES "-dbgsym$")
    string(REGEX REPLACE "-dbgsym$" "" parent "${package}")
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${name}: dpkg-deb -R failed")
    endif()
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(REMOVE_RECURSE ${tree}/usr/share/doc/${package})
    file(CREATE_LINK ${parent} ${tree}/usr/share/doc/${package} SYMBOLIC)
    execute_process(COMMAND sh -c "find usr -type f | LC_ALL=C sort | xargs md5sum > DEBIAN/md5sums"
                    WORKING_DIRECTORY ${tree} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${name}: md5sums not made")
    endif()
    osl_rebuild(${deb} ${tree})
    message(STATUS "${name}: md5sums by package path, documentation of ${parent}")
  endif()
endforeach()
