# Run by the "docs" target and by the installation of the development files:
# renders DOXYFILE (the HTML reference) and DOXYFILE_MAN (the manual pages)
# into DOCS_OUTPUT with the Doxygen found now.
find_program(DOXYGEN_EXECUTABLE doxygen)
if(NOT DOXYGEN_EXECUTABLE)
  message(STATUS "docs: Doxygen is not installed, nothing rendered. "
                 "Install it (apt-get install doxygen) and build the docs target again.")
  return()
endif()

# A family's page (a Doxygen group) shows the family's text first, whole,
# and its members below it: Doxygen's own layout, with the group page's
# detailed description moved above the member list and the brief one (its
# first sentence, which the detailed one repeats) left out.
file(MAKE_DIRECTORY ${DOCS_OUTPUT})
execute_process(COMMAND ${DOXYGEN_EXECUTABLE} -l ${DOCS_OUTPUT}/DoxygenLayout.xml
                WORKING_DIRECTORY ${DOCS_OUTPUT} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(READ ${DOCS_OUTPUT}/DoxygenLayout.xml layout)
string(FIND "${layout}" "<group>" begin)
string(FIND "${layout}" "</group>" end)
if(begin LESS 0 OR end LESS begin)
  message(FATAL_ERROR "docs: no group page in Doxygen's layout")
endif()
math(EXPR length "${end} - ${begin}")
string(SUBSTRING "${layout}" ${begin} ${length} group)
set(moved "${group}")
string(REPLACE "<briefdescription visible=\"yes\"/>" "<briefdescription visible=\"no\"/>" moved "${moved}")
string(REPLACE "\n    <detaileddescription title=\"\"/>" "" moved "${moved}")
string(REPLACE "<memberdecl>" "<detaileddescription title=\"\"/>\n    <memberdecl>" moved "${moved}")
string(REPLACE "${group}" "${moved}" layout "${layout}")
file(WRITE ${DOCS_OUTPUT}/DoxygenLayout.xml "${layout}")

execute_process(COMMAND ${DOXYGEN_EXECUTABLE} ${DOXYFILE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "docs: doxygen ${DOXYFILE} failed (${result})")
endif()
message(STATUS "docs: the API reference is in ${DOCS_OUTPUT}/html/index.html")

# The manual pages, made afresh. Doxygen starts a line with the text of a
# comment as it is, and troff reads a line that begins with ' as a request:
# such lines get troff's zero-width escape in front. Then each page is
# compressed as Debian wants manual pages, gzip -9n (no name, no time stamp).
file(REMOVE_RECURSE ${DOCS_OUTPUT}/man)
execute_process(COMMAND ${DOXYGEN_EXECUTABLE} ${DOXYFILE_MAN} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "docs: doxygen ${DOXYFILE_MAN} failed (${result})")
endif()
file(GLOB pages ${DOCS_OUTPUT}/man/man3/*.3)
if(NOT pages)
  message(FATAL_ERROR "docs: doxygen ${DOXYFILE_MAN} made no manual page")
endif()
find_program(GZIP_EXECUTABLE gzip REQUIRED)
foreach(page IN LISTS pages)
  file(READ ${page} text)
  string(REPLACE "\n'" "\n\\&'" text "${text}")
  file(WRITE ${page} "${text}")
  execute_process(COMMAND ${GZIP_EXECUTABLE} -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
message(STATUS "docs: the manual pages are in ${DOCS_OUTPUT}/man/man3")
