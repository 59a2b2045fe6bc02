# Run by the "docs" target: renders DOXYFILE with the Doxygen found now.
find_program(DOXYGEN_EXECUTABLE doxygen)
if(NOT DOXYGEN_EXECUTABLE)
  message(STATUS "docs: Doxygen is not installed, nothing rendered. "
                 "Install it (apt-get install doxygen) and build the docs target again.")
  return()
endif()
execute_process(COMMAND ${DOXYGEN_EXECUTABLE} ${DOXYFILE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "docs: doxygen ${DOXYFILE} failed (${result})")
endif()
message(STATUS "docs: the API reference is in ${DOCS_OUTPUT}/html/index.html")
