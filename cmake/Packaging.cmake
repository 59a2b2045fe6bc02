# Installation, the CMake package, pkg-config and Debian packages.
#
# Components:
#   runtime      libLustreAPI.so.1, libKxUtils.so.1, libZqLib.so.1
#   development  headers, the .so links, the CMake package, LustreAPI.pc and
#                the API reference (HTML and manual pages, cmake/Docs.cmake)
#   python       the Python module lustreapi (python/), in Debian's
#                dist-packages, when it is built
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
  ${PROJECT_SOURCE_DIR}/cmake/LustreIncludeDirs.cmake
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

# ---- Debian packages (cpack -G DEB) -----------------------------------------
# Three packages, each with its own summary and description, the copyright
# file and the changelog under /usr/share/doc/<package>. As debhelper would,
# CPack strips the objects and keeps their debug symbols in a -dbgsym
# package each, writes the runtime's shlibs, and dpkg-shlibdeps fills in the
# dependencies on the C and C++ runtimes.
set(LUSTREAPI_PACKAGE_MAINTAINER "LustreAPI <lustreapi@example.org>" CACHE STRING
  "Maintainer field of the Debian packages: whoever ships them puts their own name and address here")
set(LUSTREAPI_DEB_RUNTIME liblustreapi-host1)
set(LUSTREAPI_DEB_DEVELOPMENT liblustreapi-host-dev)
set(LUSTREAPI_DEB_SIMULATOR lustreapi-sim)
set(LUSTREAPI_DEB_PYTHON python3-lustreapi)
set(LUSTREAPI_DEB_COMPONENTS runtime development simulator)
if(TARGET lustreapi_python)
  list(APPEND LUSTREAPI_DEB_COMPONENTS python)
endif()

set(LUSTREAPI_DEB_DIR ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian)
configure_file(${LUSTREAPI_DEB_DIR}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
# Debian wants the changelog compressed with gzip -9n (no name, no time
# stamp); gzip is part of every Debian system.
find_program(LUSTREAPI_GZIP gzip)
if(LUSTREAPI_GZIP)
  execute_process(COMMAND ${LUSTREAPI_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
  foreach(component ${LUSTREAPI_DEB_COMPONENTS})
    string(TOUPPER ${component} upper)
    install(FILES ${LUSTREAPI_DEB_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${LUSTREAPI_DEB_${upper}} COMPONENT ${component})
  endforeach()
endif()
install(FILES ${LUSTREAPI_DEB_DIR}/liblustreapi-host1.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${LUSTREAPI_DEB_RUNTIME} COMPONENT runtime)

set(CPACK_PACKAGE_NAME "lustreapi")
set(CPACK_PACKAGE_VENDOR "LustreAPI")
set(CPACK_PACKAGE_CONTACT "${LUSTREAPI_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${LUSTREAPI_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE "lustreapi")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${LUSTREAPI_DEB_RUNTIME})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${LUSTREAPI_DEB_DEVELOPMENT})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${LUSTREAPI_DEB_SIMULATOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
# The changelog administration runs ssh to reach the metadata servers; the
# HSM calls and the FID conversions, all a copytool needs, never do. So ssh
# is what nearly every installation has (Recommends), not what the library
# cannot work without (Depends).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "openssh-client")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION "devel")
if(TARGET lustreapi_python)
  # The module needs exactly this runtime and the interpreter version it was
  # built for (its file name carries that version's ABI tag).
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${LUSTREAPI_DEB_PYTHON})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION "python")
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})")
  # libLustreAPI.so.1 and its companions come from the runtime package of
  # this build, whose shlibs dpkg-shlibdeps cannot read yet.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src ${PROJECT_BINARY_DIR}/host)
endif()
# The loader's cache is refreshed by dpkg's ldconfig trigger; the postinst
# and postrm that CPack writes to run ldconfig by hand are taken out after
# (cmake/debian/FinishPackages.cmake, which also completes the -dbgsym
# packages).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${LUSTREAPI_DEB_DIR}/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${LUSTREAPI_DEB_DIR}/FinishPackages.cmake)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"HSM, file identifier and changelog library for Lustre data-management hosts
libLustreAPI.so.1 is the C++17 library through which a data-management host
(an HSM copytool, a policy engine, a backup tool or a changelog consumer)
works with Lustre file systems: it binds Lustre's liblustreapi at run time
for the HSM copytool calls and HSM requests, converts between paths and
Lustre file identifiers, and registers, reads and removes changelog
readers on the metadata servers over ssh (openssh-client).
.
The package also holds libKxUtils.so.1 and libZqLib.so.1, thin replacements
of the host's utility libraries (errors, log writer, strings, paths, library
loader, process runner) that a host replaces with its own pair.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files for the LustreAPI library
The headers of libLustreAPI.so (LustreAPI.h and the host utility headers
it includes), the link names, the CMake package (find_package(LustreAPI))
and the pkg-config file LustreAPI.pc, for building data-management hosts
against liblustreapi-host1, with the API reference rendered from the
header: HTML in /usr/share/doc/liblustreapi-host-dev/html and manual pages
in section 3 (lustreapi_binding(3), LustreAPI_CLustreFID(3), ...).
LustreAPI.h also includes Lustre's own lustre/lustreapi.h, from Lustre's
development files or, on a machine without them, from lustreapi-sim.")
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION
"Lustre stand-in for developing and testing hosts without a cluster
A liblustreapi.so that behaves like a Lustre client over a local directory
(HSM copytool, requests and file identifiers), and lctl, lfs and ssh tools
that print what the real tools of Lustre 2.10 to 2.17 print, with the
control tool lustre-sim that sets up file systems, metadata servers,
archives and changelog records; also a lustre/lustreapi.h with Lustre's
types for building hosts where Lustre's own is not installed
(lustreapi-sim.pc). Everything is installed under
/usr/lib/<triplet>/lustreapi-sim, off the library, command and header
search paths, so it never shadows a real Lustre client, Lustre's header or
the system's ssh.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python 3 module for Lustre HSM, file identifiers and changelogs
The module lustreapi makes libLustreAPI.so.1 usable from Python: file
identifiers (Fid, path2fid, fid2path), HSM states and requests of many
files, changelog records read as an iterator (ChangelogReader) and
acknowledged, changelog reader administration with time limits, and the
calls of an HSM copytool. Failures raise LustreError, an OSError with errno
and the library's message; calls that wait release the GIL. Type stubs are
included.")
include(CPack)
