# lustreapi_lustre_include_dirs(OUT VALUE): the include folders that give
# Lustre's <lustre/lustreapi.h> and what it includes, from VALUE, a folder or
# a list of folders: an installed include folder (/usr/include), or a Lustre
# source tree's lustre/include, whose uapi folder (linux/lustre/*.h) is added
# beside it. A value that names no folder, or none holding
# lustre/lustreapi.h, stops the configuration with a message that says what
# was expected.
function(lustreapi_lustre_include_dirs out value)
  set(dirs)
  set(found FALSE)
  foreach(dir IN LISTS value)
    if(NOT IS_DIRECTORY "${dir}")
      message(FATAL_ERROR "LUSTREAPI_LUSTRE_INCLUDE_DIR: '${dir}' is not a folder. Expected the folder holding "
        "Lustre's lustre/lustreapi.h: an installed include folder such as /usr/include, or a Lustre source "
        "tree's lustre/include.")
    endif()
    list(APPEND dirs "${dir}")
    if(EXISTS "${dir}/lustre/lustreapi.h")
      set(found TRUE)
    endif()
    if(EXISTS "${dir}/uapi/linux/lustre/lustre_user.h")
      list(APPEND dirs "${dir}/uapi")
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "LUSTREAPI_LUSTRE_INCLUDE_DIR: no lustre/lustreapi.h in '${value}'. Expected the folder "
      "holding Lustre's lustre/lustreapi.h: an installed include folder such as /usr/include, or a Lustre source "
      "tree's lustre/include (its uapi folder is added), or a list of folders.")
  endif()
  set(${out} "${dirs}" PARENT_SCOPE)
endfunction()

# Run as a script (cmake -DLUSTREAPI_LUSTRE_INCLUDE_DIR=... -P this file), it
# checks that value and prints the folders it gives.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  lustreapi_lustre_include_dirs(dirs "${LUSTREAPI_LUSTRE_INCLUDE_DIR}")
  message(STATUS "Lustre include folders: ${dirs}")
endif()
