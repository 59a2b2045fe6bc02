# Writes "<version> MM/DD/YY HH:MM:SS\n" into the section ZqVersion of
# LIBRARY, marked as neither loaded nor writable. Run after each link.
# Inputs: LIBRARY, VERSION, OBJCOPY, WORK_DIR.
foreach(var LIBRARY VERSION OBJCOPY WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "AddVersionSection.cmake: ${var} is not set")
  endif()
endforeach()

string(TIMESTAMP stamp "%m/%d/%y %H:%M:%S")
set(sectionFile "${WORK_DIR}/ZqVersion.txt")
file(WRITE "${sectionFile}" "${VERSION} ${stamp}\n")

# A section left from an earlier run would make --add-section fail.
execute_process(COMMAND "${OBJCOPY}" --remove-section ZqVersion "${LIBRARY}"
                RESULT_VARIABLE removeResult)
execute_process(COMMAND "${OBJCOPY}"
                        --add-section "ZqVersion=${sectionFile}"
                        --set-section-flags ZqVersion=noload,readonly
                        "${LIBRARY}"
                RESULT_VARIABLE addResult
                ERROR_VARIABLE addErrors)
if(NOT addResult EQUAL 0)
  message(FATAL_ERROR "objcopy could not add ZqVersion to ${LIBRARY}: ${addErrors}")
endif()
