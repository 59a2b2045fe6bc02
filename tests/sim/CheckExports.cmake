# Checks the dynamic symbols of every stand-in library variant.
# cmake -DNM=<nm> -DDIR=<build>/lustre -P CheckExports.cmake
set(entry_points
  llapi_hsm_copytool_register llapi_hsm_copytool_unregister llapi_hsm_copytool_recv
  llapi_hsm_action_begin llapi_hsm_action_end llapi_hsm_action_progress
  llapi_hsm_action_get_fd llapi_hsm_action_get_dfid llapi_hsm_user_request_alloc
  llapi_hsm_request llapi_search_fsname llapi_fid2path llapi_path2fid
  llapi_get_mdt_index_by_fid llapi_fd2fid
  llapi_hsm_state_get llapi_hsm_state_set llapi_hsm_current_action
  # what else Lustre's POSIX copytool links, and the rest of the message family
  llapi_error llapi_error_callback_set llapi_msg_set_level llapi_hsm_log_error
  llapi_fid_parse llapi_fid2path_at llapi_parse_size llapi_hsm_register_event_fifo
  llapi_hsm_unregister_event_fifo llapi_hsm_import llapi_info_callback_set
  llapi_msg_get_level llapi_printf llapi_set_command_name llapi_clear_command_name
  # what policy engines and changelog consumers call besides
  llapi_hsm_state_get_fd llapi_file_fget_mdtidx libcfs_nid2str_r libcfs_next_nidstring)
set(controls
  lustre_sim_fail_next lustre_sim_fail_clear lustre_sim_call_count
  lustre_sim_last_args lustre_sim_last_request lustre_sim_reset)

set(failed FALSE)

# check(<file> <missing symbols...>)
function(check file)
  if(NOT EXISTS "${file}")
    message(SEND_ERROR "${file} does not exist")
    return()
  endif()
  execute_process(COMMAND ${NM} -D --defined-only "${file}"
    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "nm -D ${file} failed")
    return()
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  set(defined "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* [A-Za-z] " "" name "${line}")
    list(APPEND defined "${name}")
  endforeach()
  foreach(sym IN LISTS entry_points controls)
    list(FIND ARGN ${sym} expect_missing)
    list(FIND defined ${sym} found)
    if(expect_missing GREATER -1 AND found GREATER -1)
      message(SEND_ERROR "${file} exports ${sym}, which it must not")
    elseif(expect_missing EQUAL -1 AND found EQUAL -1)
      message(SEND_ERROR "${file} does not export ${sym}")
    endif()
  endforeach()
  # Nothing else leaves the library.
  foreach(name IN LISTS defined)
    if(NOT name MATCHES "^(llapi_|lustre_sim_|libcfs_nid2str_r$|libcfs_next_nidstring$)")
      message(SEND_ERROR "${file} exports ${name}")
    endif()
  endforeach()
endfunction()

check(${DIR}/full/liblustreapi.so)
check(${DIR}/no-action-begin/liblustreapi.so llapi_hsm_action_begin)
check(${DIR}/no-fd2fid/liblustreapi.so llapi_fd2fid)
check(${DIR}/no-hsm-state/liblustreapi.so llapi_hsm_state_get llapi_hsm_state_get_fd llapi_hsm_state_set
  llapi_hsm_current_action)
check(${DIR}/versioned-only/liblustreapi.so.1)
if(EXISTS ${DIR}/versioned-only/liblustreapi.so)
  message(SEND_ERROR "${DIR}/versioned-only must hold only liblustreapi.so.1")
endif()
foreach(dir full no-action-begin no-fd2fid no-hsm-state)
  execute_process(COMMAND readelf -d ${DIR}/${dir}/liblustreapi.so OUTPUT_VARIABLE dyn)
  if(NOT dyn MATCHES "Library soname: \\[liblustreapi\\.so\\.1\\]")
    message(SEND_ERROR "${dir}/liblustreapi.so lacks the SONAME liblustreapi.so.1")
  endif()
endforeach()
