# Installation: the command and its manual page, the static library with its
# headers, a CMake package (find_package(TpccSupport)), a pkg-config file and
# the licence and changelog; and, for the project built for itself, a Debian
# package of the same files through CPack.

# Debian's multiarch library directory (lib/x86_64-linux-gnu) for any prefix,
# not only /usr, so that the package and an install by hand agree.
if(PROJECT_IS_TOP_LEVEL AND CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TPCC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TpccSupport)
set(TPCC_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tpcc-tools)

install(TARGETS tpcc_stop tpcc_gen tpcc_flag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(commands stop tpcc-gen tpcc-flag)
if(TARGET tpcc_run)
  install(TARGETS tpcc_run tpcc_load tpcc_report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS driver/tpcc-try DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES driver/galera-cluster.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/tpcc-tools)
  list(APPEND commands tpcc-run tpcc-load tpcc-try tpcc-report)
endif()
install(TARGETS tpcc_support EXPORT TpccSupportTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tpcc
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT TpccSupportTargets NAMESPACE TpccSupport:: DESTINATION ${TPCC_CMAKE_DIR})

configure_package_config_file(cmake/TpccSupportConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfig.cmake INSTALL_DESTINATION ${TPCC_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TpccSupportConfigVersion.cmake DESTINATION ${TPCC_CMAKE_DIR})

# The pkg-config file finds the prefix from where it lies, so that a copy
# installed under any prefix works without editing.
file(RELATIVE_PATH TPCC_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(cmake/tpcc-support.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tpcc-support.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tpcc-support.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The manual pages and the changelog go compressed, as Debian has them.
set(pages NURand Lastname gettimestamp AttachShutdownFlag InitTerminal TpccGenerateChunk)
set(plain cmake/changelog)
set(gzipped changelog.gz)
foreach(page IN LISTS commands)
  list(APPEND plain man/${page}.1)
  list(APPEND gzipped ${page}.1.gz)
endforeach()
foreach(page IN LISTS pages)
  list(APPEND plain man/${page}.3)
  list(APPEND gzipped ${page}.3.gz)
endforeach()
set(compressed "")
foreach(source output IN ZIP_LISTS plain gzipped)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${output})
endforeach()
add_custom_target(tpcc_compressed_docs ALL DEPENDS ${compressed})
list(TRANSFORM commands APPEND .1.gz OUTPUT_VARIABLE section1)
list(TRANSFORM section1 PREPEND ${CMAKE_CURRENT_BINARY_DIR}/)
install(FILES ${section1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Each function's own name leads to its group's page, as a symlink.
set(page_names
  "NURand:RandomNumber GetCValue C_255 C_1023 C_8191 SetLoadCValues SetRunCValues IsValidRunCValue"
  "Lastname:gName"
  "gettimestamp:GetTimespecDiff GetTimespecDiff2"
  "AttachShutdownFlag:ShutdownRequested ClearShutdownFlag DetachShutdownFlag"
  "InitTerminal:DealTransaction DrawNewOrder DrawPayment DrawOrderStatus DrawDelivery DrawStockLevel KeyingTime ThinkTime"
  "TpccGenerateChunk:TpccWriteTables TpccChunkCount TpccChunkBound TpccTableRows TpccTableName TpccTableByName TpccIsTimestamp")
set(section3 "")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man3)
foreach(entry IN LISTS page_names)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 page)
  list(GET entry 1 names)
  list(APPEND section3 ${CMAKE_CURRENT_BINARY_DIR}/${page}.3.gz)
  separate_arguments(names)
  foreach(name IN LISTS names)
    file(CREATE_LINK ${page}.3.gz ${CMAKE_CURRENT_BINARY_DIR}/man3/${name}.3.gz SYMBOLIC)
    list(APPEND section3 ${CMAKE_CURRENT_BINARY_DIR}/man3/${name}.3.gz)
  endforeach()
endforeach()
install(FILES ${section3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES sql/postgresql/schema.sql sql/postgresql/keys.sql sql/postgresql/check.sql
              sql/postgresql/procedures.sql sql/postgresql/foreign_keys.sql
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tpcc-tools/sql/postgresql)
install(FILES sql/mariadb/schema.sql sql/mariadb/keys.sql sql/mariadb/check.sql
              sql/mariadb/foreign_keys.sql sql/mariadb/procedures.sql
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tpcc-tools/sql/mariadb)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${TPCC_DOC_DIR})
install(FILES LICENSE DESTINATION ${TPCC_DOC_DIR} RENAME copyright)

if(NOT PROJECT_IS_TOP_LEVEL)
  return() # the parent's packaging is the parent's
endif()
set(CPACK_PACKAGE_NAME tpcc-tools)
set(CPACK_PACKAGE_CONTACT "tpcc-tools maintainers <maintainers@tpcc-tools.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TPC-C database generator, workload support library and stop command")
set(CPACK_PACKAGE_DESCRIPTION "\
Tools for people who run TPC-C database benchmarks and write their workload
drivers. The stop command asks the running workload processes to shut down by
setting a flag in a System V shared-memory segment that they share.
The tpcc-gen command generates the initial TPC-C database as CSV files,
reproducibly and split across hosts if need be, with the SQL to load it into
PostgreSQL and check its consistency.
The tpcc-load command generates the same database straight into PostgreSQL,
tpcc-run drives the five TPC-C transactions against it and reports what it
measured, and tpcc-try makes a first run on a private server in one command.
The static library libtpcc_support gives driver code the TPC-C random values
(uniform and NURand, with compliant run-time constants C), customer last
names, a cached local timestamp, clock differences, the peers' side of the
shutdown flag, the terminals' transaction inputs and the population
generator, all from a plain C interface.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql, mariadb-server, galera-4, rsync") # tpcc-try starts a server of its own
include(CPack)
