# The "docs" target: the API reference rendered from the comments of the
# public headers with Doxygen, into <build>/docs/html. Doxygen is looked for
# each time the target runs, so installing it needs no new configure; without
# it the target says what to install and does nothing, so
# "cmake --build ... --target docs" never breaks a build.
set(DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
configure_file(${CMAKE_CURRENT_LIST_DIR}/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -DDOXYFILE=${PROJECT_BINARY_DIR}/Doxyfile -DDOCS_OUTPUT=${DOCS_OUTPUT}
          -P ${CMAKE_CURRENT_LIST_DIR}/RenderDocs.cmake
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
