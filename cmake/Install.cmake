# Installation: the command and its manual page, the static library with its
# header, a CMake package (find_package(TpccSupport)) and a pkg-config file;
# and a Debian package of the same files through CPack.

include(CMakePackageConfigHelpers)

set(TPCC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TpccSupport)

install(TARGETS stop RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/stop.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(TARGETS support EXPORT TpccSupportTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tpcc)
install(EXPORT TpccSupportTargets NAMESPACE TpccSupport:: DESTINATION ${TPCC_CMAKE_DIR})

configure_package_config_file(cmake/TpccSupportConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfig.cmake INSTALL_DESTINATION ${TPCC_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfigVersion.cmake DESTINATION ${TPCC_CMAKE_DIR})

configure_file(cmake/tpcc-support.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tpcc-support.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tpcc-support.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME tpcc-tools)
set(CPACK_PACKAGE_CONTACT "tpcc-tools maintainers <maintainers@tpcc-tools.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
include(CPack)
