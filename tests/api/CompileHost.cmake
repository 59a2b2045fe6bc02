# Compiles SOURCE with each compiler of COMPILERS (a ;-list) as a C++17 host
# would, warnings as errors, against INCLUDES (a ;-list); fails on the first
# compiler that does not accept it.
foreach(compiler IN LISTS COMPILERS)
  set(flags -std=c++17 -Wall -Wextra -Wimplicit-fallthrough -Werror -fsyntax-only)
  foreach(dir IN LISTS INCLUDES)
    list(APPEND flags -I${dir})
  endforeach()
  execute_process(COMMAND ${compiler} ${flags} ${SOURCE} RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${compiler} refused ${SOURCE}:\n${errors}")
  endif()
  message(STATUS "${compiler}: compiled")
endforeach()
