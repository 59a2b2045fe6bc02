# The "docs" target: the API reference rendered from the comments of the
# public headers with Doxygen, as HTML into <build>/docs/html and as manual
# pages (section 3) into <build>/docs/man/man3. Doxygen is looked for each
# time the target runs, so installing it needs no new configure; without it
# the target says what to install and does nothing, so
# "cmake --build ... --target docs" never breaks a build.
#
# The development files (component development, the liblustreapi-host-dev
# package) hold both: the HTML reference in
# <datadir>/doc/liblustreapi-host-dev/html and the manual pages in
# <mandir>/man3. Installing renders them first when the docs target has not;
# without Doxygen they are left out, with a warning.
set(DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
configure_file(${CMAKE_CURRENT_LIST_DIR}/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/Doxyfile-man.in ${PROJECT_BINARY_DIR}/Doxyfile-man @ONLY)
set(DOCS_RENDER ${CMAKE_COMMAND} -DDOXYFILE=${PROJECT_BINARY_DIR}/Doxyfile
  -DDOXYFILE_MAN=${PROJECT_BINARY_DIR}/Doxyfile-man -DDOCS_OUTPUT=${DOCS_OUTPUT}
  -P ${CMAKE_CURRENT_LIST_DIR}/RenderDocs.cmake)
add_custom_target(docs
  COMMAND ${DOCS_RENDER}
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)

configure_file(${CMAKE_CURRENT_LIST_DIR}/InstallDocs.cmake.in ${PROJECT_BINARY_DIR}/InstallDocs.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/InstallDocs.cmake COMPONENT development)
install(DIRECTORY ${DOCS_OUTPUT}/html/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${LUSTREAPI_DEB_DEVELOPMENT}/html
  COMPONENT development OPTIONAL)
install(DIRECTORY ${DOCS_OUTPUT}/man/man3/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development OPTIONAL)
