# Installation, the CMake package, pkg-config and Debian packages.
#
# Components:
#   runtime      libLustreAPI.so.1, libKxUtils.so.1, libZqLib.so.1
#   development  headers, the .so links, the CMake package and LustreAPI.pc
#   simulator    the Lustre stand-in, kept out of the system's search paths:
#                liblustreapi.so in <libdir>/lustreapi-sim, so it never
#                shadows a real liblustreapi, lctl, lfs, ssh and lustre-sim
#                in <libdir>/lustreapi-sim/bin, so the stand-in ssh never
#                shadows the real one, and its lustre/lustreapi.h in
#                <libdir>/lustreapi-sim/include, so it never shadows
#                Lustre's own header (lustreapi-sim.pc names that folder)
#
# Everything installed is relocatable: the CMake package and LustreAPI.pc
# find their prefix from their own location, so a tree installed with
# "cmake --install --prefix DIR" and the Debian packages (prefix /usr) work
# from the same build.
include(CMakePackageConfigHelpers)

# "make install" and cpack package what is built, without building first:
# packaging a tree never rebuilds it (nor builds its tests) behind the caller.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(LUSTREAPI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LustreAPI)
set(LUSTREAPI_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(LUSTREAPI_SIM_DIR ${CMAKE_INSTALL_LIBDIR}/lustreapi-sim)

install(TARGETS LustreAPI KxUtils ZqLib
  EXPORT LustreAPITargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
# The public header includes the host utility headers, so they go together
# into one directory. It also includes Lustre's lustre/lustreapi.h, which is
# not ours to install: the package finds it where the host is built
# (cmake/LustreAPIConfig.cmake.in), and falls back to the stand-in's.
install(FILES src/LustreAPI.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/LustreAPI COMPONENT development)
install(DIRECTORY host/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/LustreAPI COMPONENT development
  FILES_MATCHING PATTERN "*.h")
install(EXPORT LustreAPITargets NAMESPACE LustreAPI:: DESTINATION ${LUSTREAPI_CMAKE_DIR} COMPONENT development)

configure_package_config_file(cmake/LustreAPIConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfig.cmake INSTALL_DESTINATION ${LUSTREAPI_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/LustreAPIConfigVersion.cmake
  DESTINATION ${LUSTREAPI_CMAKE_DIR} COMPONENT development)

# The prefix as seen from the .pc file's directory: the packages install
# under /usr while the build was configured for /usr/local, so an absolute
# prefix written at configure time would be wrong in one of the two.
file(RELATIVE_PATH LUSTREAPI_PC_TO_PREFIX /prefix/${LUSTREAPI_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" LUSTREAPI_PC_TO_PREFIX "${LUSTREAPI_PC_TO_PREFIX}")
configure_file(cmake/LustreAPI.pc.in ${CMAKE_CURRENT_BINARY_DIR}/LustreAPI.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LustreAPI.pc
  DESTINATION ${LUSTREAPI_PKGCONFIG_DIR} COMPONENT development)

install(DIRECTORY sim/include/ DESTINATION ${LUSTREAPI_SIM_DIR}/include COMPONENT simulator
  FILES_MATCHING PATTERN "*.h")
configure_file(cmake/lustreapi-sim.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lustreapi-sim.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lustreapi-sim.pc
  DESTINATION ${LUSTREAPI_PKGCONFIG_DIR} COMPONENT simulator)

if(TARGET lustreapi_sim)
  install(TARGETS lustreapi_sim LIBRARY DESTINATION ${LUSTREAPI_SIM_DIR} COMPONENT simulator
          NAMELINK_COMPONENT simulator)
endif()
# The stand-in tools install themselves (sim/tools/CMakeLists.txt) into
# <libdir>/lustreapi-sim/bin.
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/sim/README.md)
  install(FILES sim/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lustreapi-sim COMPONENT simulator)
endif()

set(CPACK_PACKAGE_NAME "lustreapi")
set(CPACK_PACKAGE_VENDOR "LustreAPI developers")
set(CPACK_PACKAGE_CONTACT "LustreAPI developers <lustreapi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HSM, FID and changelog library for Lustre data-management hosts")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library and tool dependencies (libc6, libstdc++6, ...) come from
# dpkg-shlibdeps; libKxUtils and libZqLib, which libLustreAPI needs, ship in
# the same package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "liblustreapi-host1")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "liblustreapi-host-dev")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME "lustreapi-sim")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION "devel")
# The stand-in's ssh runs the remote command line with /bin/sh.
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS "dash | bash")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "LustreAPI runtime libraries")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "LustreAPI headers, CMake package and pkg-config file")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
  "Lustre stand-in: liblustreapi.so over a local directory, lctl, lfs and ssh")
include(CPack)
