# Installation, the CMake package, pkg-config and Debian packages.
#
# Components:
#   runtime      libLustreAPI.so.1, libKxUtils.so.1, libZqLib.so.1
#   development  headers, the .so links, the CMake package and LustreAPI.pc
#   simulator    the Lustre stand-in, kept out of the system's library path
#                (lib/lustreapi-sim) so it never shadows a real liblustreapi
include(CMakePackageConfigHelpers)

set(LUSTREAPI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LustreAPI)
set(LUSTREAPI_SIM_DIR ${CMAKE_INSTALL_LIBDIR}/lustreapi-sim)

install(TARGETS LustreAPI KxUtils ZqLib
  EXPORT LustreAPITargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES
    src/LustreAPI.h src/LustreTypes.h
    host/include/KxExport.h host/include/HBError.h host/include/LogWriter.h host/include/HBString.h
    host/include/HBPath.h host/include/CKxLibrary.h host/include/KxUtils.h
    host/include/ZqProcess.h host/include/ZqLib.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/LustreAPI COMPONENT development)
install(EXPORT LustreAPITargets NAMESPACE LustreAPI:: DESTINATION ${LUSTREAPI_CMAKE_DIR} COMPONENT development)

configure_package_config_file(cmake/LustreAPIConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfig.cmake INSTALL_DESTINATION ${LUSTREAPI_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfigVersion.cmake
  DESTINATION ${LUSTREAPI_CMAKE_DIR} COMPONENT development)
configure_file(cmake/LustreAPI.pc.in ${CMAKE_CURRENT_BINARY_DIR}/LustreAPI.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LustreAPI.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(TARGET lustreapi_sim)
  install(TARGETS lustreapi_sim LIBRARY DESTINATION ${LUSTREAPI_SIM_DIR} COMPONENT simulator
          NAMELINK_COMPONENT simulator)
endif()

set(CPACK_PACKAGE_NAME "lustreapi")
set(CPACK_PACKAGE_VENDOR "LustreAPI developers")
set(CPACK_PACKAGE_CONTACT "LustreAPI developers <lustreapi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HSM, FID and changelog library for Lustre data-management hosts")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "liblustreapi-host1")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "liblustreapi-host-dev")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME "lustreapi-sim")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION "devel")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "LustreAPI runtime libraries")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "LustreAPI headers, CMake package and pkg-config file")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION "Lustre stand-in: liblustreapi.so over a local directory, lctl, lfs and ssh")
include(CPack)
