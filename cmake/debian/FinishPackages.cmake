# Run by CPack after it made the Debian packages (CPACK_POST_BUILD_SCRIPTS),
# to leave them as debhelper would:
#  - the runtime package: CPack writes a postinst and a postrm that run
#    ldconfig by hand; dpkg's ldconfig trigger (its "triggers" file) does that
#    work, so they are taken out;
#  - each -dbgsym package: its md5sums name the files by CPack's staging
#    paths, so they are written again relative to the root, and its
#    /usr/share/doc/<package>-dbgsym points to the documentation (copyright,
#    changelog) of the package whose symbols it holds.
function(repack package)
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repack")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  cmake_language(CALL ${ARGN} "${tree}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endfunction()

function(drop_ldconfig_scripts tree)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
endfunction()

function(finish_dbgsym tree)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
  list(SORT files)
  set(sums "")
  foreach(f IN LISTS files)
    file(MD5 "${tree}/${f}" sum)
    string(APPEND sums "${sum}  ${f}\n")
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")
  file(STRINGS "${tree}/DEBIAN/control" name REGEX "^Package: ")
  string(REGEX REPLACE "^Package: (.*)-dbgsym$" "\\1" base "${name}")
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${base}" "${tree}/usr/share/doc/${base}-dbgsym" SYMBOLIC)
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  if(name MATCHES "^liblustreapi-host1_.*\\.deb$")
    repack("${package}" drop_ldconfig_scripts)
  elseif(name MATCHES "-dbgsym_.*\\.ddeb$")
    repack("${package}" finish_dbgsym)
  endif()
endforeach()
