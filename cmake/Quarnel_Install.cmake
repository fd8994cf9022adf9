# Install rules of quarnel_core: the static library, its include folder as it is in the tree
# (include/quarnel/ and include/quarnel/detail/), the CMake package (find_package(Quarnel CONFIG)
# gives Quarnel::core) and quarnel.pc.
include(CMakePackageConfigHelpers)

set(QUARNEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quarnel)

install(TARGETS quarnel_core EXPORT QuarnelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The public headers include the engine's own from quarnel/detail/, so both folders go.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/libs/core/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${QUARNEL_BUILD_INCLUDE_DIR}/quarnel/Version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quarnel)
install(EXPORT QuarnelTargets NAMESPACE Quarnel:: DESTINATION ${QUARNEL_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuarnelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuarnelConfig.cmake INSTALL_DESTINATION ${QUARNEL_CMAKE_DIR})
# 0.x: any 0.y.z with y at least the one asked for satisfies find_package(Quarnel 0.y).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuarnelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuarnelConfig.cmake ${PROJECT_BINARY_DIR}/QuarnelConfigVersion.cmake
  DESTINATION ${QUARNEL_CMAKE_DIR})

# pkg-config: the same flags as the CMake package, sanitizer flags included.
string(JOIN " " QUARNEL_PC_SANITIZER_FLAGS ${QUARNEL_SANITIZER_FLAGS})
if(NOT (QUARNEL_SANITIZE STREQUAL "address" OR QUARNEL_SANITIZE STREQUAL "thread"))
  set(QUARNEL_PC_SANITIZER_FLAGS "")
endif()
# The prefix is found from the file's own place, so `cmake --install --prefix` anywhere works.
# modelkit's studies link Open MPI when the build found it.
set(QUARNEL_PC_MPI "")
if(QUARNEL_HAVE_MPI)
  set(QUARNEL_PC_MPI " ompi-c")
endif()
file(RELATIVE_PATH QUARNEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quarnel.pc.in ${PROJECT_BINARY_DIR}/quarnel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quarnel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
