# The "docs" target: the API reference rendered from the comments of the
# public header with Doxygen, into <build>/docs/html. Without Doxygen the
# target only says how to get it, so "cmake --build ... --target docs" never
# breaks a build.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(DOXYGEN_PROJECT_NAME "LustreAPI")
  set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
  set(DOXYGEN_PROJECT_BRIEF "HSM, file identifiers and changelog administration for Lustre file systems")
  set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
  set(DOXYGEN_GENERATE_HTML YES)
  set(DOXYGEN_GENERATE_LATEX NO)
  # The headers keep plain // comments; this filter hands Doxygen each
  # comment line as a /// line and each comment after a member as ///<, and
  # blanks the "// ---- Family ----" separators (line numbers stay as in the
  # file).
  file(WRITE ${PROJECT_BINARY_DIR}/docs-filter.sh
    "#!/bin/sh\nexec sed -e 's|^ *// ----.*$||' -e 's#^\\( *\\)//\\( \\|$\\)#\\1///\\2#' -e 's#;\\( *\\)// #;\\1///< #' \"$1\"\n")
  file(CHMOD ${PROJECT_BINARY_DIR}/docs-filter.sh PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(DOXYGEN_INPUT_FILTER ${PROJECT_BINARY_DIR}/docs-filter.sh)
  set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
  set(DOXYGEN_EXTRACT_ALL YES)
  set(DOXYGEN_MACRO_EXPANSION YES)
  set(DOXYGEN_PREDEFINED "LUSTREAPI_EXPORT=" "KX_API=")
  set(DOXYGEN_WARN_IF_UNDOCUMENTED NO)
  set(DOXYGEN_QUIET YES)
  set(DOXYGEN_FULL_PATH_NAMES NO)
  set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)
  doxygen_add_docs(docs
    ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/src/LustreAPI.h
    COMMENT "Rendering the API reference into ${PROJECT_BINARY_DIR}/docs/html")
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "docs: Doxygen is not installed (apt-get install doxygen), nothing rendered"
    VERBATIM)
endif()
