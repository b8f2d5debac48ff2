# What `cmake --install` puts where (GNUInstallDirs places under the chosen prefix), split into
# the components that become the Debian packages (cmake/Packaging.cmake):
#
#   library  lib/libQorvinClient.so.1.0.0 and its SONAME link libQorvinClient.so.1
#   dev      include/qorvin/ (QorvinClient.h and the extension headers QorvinServers.h,
#            QorvinProgress.h, QorvinCredentials.h and QorvinPieces.h), the unversioned link
#            libQorvinClient.so, the CMake package lib/cmake/Qorvin/ and
#            lib/pkgconfig/qorvin-client.pc, the host documents
#   cli      bin/qorvin, its man page and bash completion
#   server   bin/qorvin-server, its man page, the sample schema and procedures, the systemd unit
#            and the configuration file (etc/qorvin/qorvin-server.conf)
#   plugin   lib/qorvin/: basalt-host, libbasalt.so, libPersonal.so; bin/basalt-host links there
#
# Hosts load the client library with dlopen; the programs find it without LD_LIBRARY_PATH: their
# RUNPATH names the library folder relative to their own ($ORIGIN), so any prefix works.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QORVIN_VERSION 1.0.0)
set(QORVIN_SOVERSION 1)
set(QORVIN_CLIENT_SONAME "libQorvinClient.so.${QORVIN_SOVERSION}")
# The programs' --version.
target_compile_definitions(qv_server_app PRIVATE QORVIN_VERSION_TEXT="${QORVIN_VERSION}")
target_compile_definitions(qorvin PRIVATE QORVIN_VERSION_TEXT="${QORVIN_VERSION}")

# The library carries an SONAME; the build tree keeps the unversioned name as a link, where the
# programs and tests find it.
set_target_properties(QorvinClient PROPERTIES VERSION ${QORVIN_VERSION}
                                              SOVERSION ${QORVIN_SOVERSION})
# qorvin tries the SONAME through its RUNPATH after the places beside it (tools/qorvin).
target_compile_definitions(qorvin PRIVATE QORVIN_CLIENT_SONAME="${QORVIN_CLIENT_SONAME}")

# The plug-in's private folder, and the way from each installed program to its libraries.
set(QORVIN_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/qorvin)
file(RELATIVE_PATH qorvin_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(qorvin PROPERTIES INSTALL_RPATH "$ORIGIN/${qorvin_bin_to_lib}")
# basalt-host, libbasalt.so and libPersonal.so sit together; libbasalt loads the client library,
# which the plug-in package links into that folder (below).
set_target_properties(basalt-host basalt Personal PROPERTIES INSTALL_RPATH "$ORIGIN")
# The build tree gets the same RUNPATHs. Left to itself, CMake pads a build RUNPATH with ':' to make
# room for the install one, and the loader takes each empty entry for the current directory: the
# build tree's programs would then load libraries from wherever they were started.
set_target_properties(qorvin basalt-host basalt Personal PROPERTIES BUILD_WITH_INSTALL_RPATH ON)

install(TARGETS QorvinClient
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_SKIP)
install(TARGETS QorvinClient
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev NAMELINK_ONLY)
# The module interface and its extensions (reached with QueryInterface).
install(FILES ${PROJECT_SOURCE_DIR}/include/qorvin/QorvinClient.h
              ${PROJECT_SOURCE_DIR}/include/qorvin/QorvinServers.h
              ${PROJECT_SOURCE_DIR}/include/qorvin/QorvinProgress.h
              ${PROJECT_SOURCE_DIR}/include/qorvin/QorvinCredentials.h
              ${PROJECT_SOURCE_DIR}/include/qorvin/QorvinPieces.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorvin COMPONENT dev)
# The header cites the host API and the data packet's layout: both go with it.
install(FILES ${PROJECT_SOURCE_DIR}/docs/host-api.md ${PROJECT_SOURCE_DIR}/docs/data-packet.md
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)

install(TARGETS qorvin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/docs/cli.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT cli)

install(TARGETS qorvin-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/server/sample/schema.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qorvin/sample COMPONENT server)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/server/sample/procedures
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qorvin/sample COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/docs/server.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT server)
# The configuration file and the systemd unit: under /etc and /lib when the prefix is /usr (as in
# the Debian package), else under the prefix. Decided at install time, as the prefix may be given
# only then (cmake --install --prefix ...); the unit names the installed program and file.
configure_file(${PROJECT_SOURCE_DIR}/cmake/InstallServerFiles.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/InstallServerFiles.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/packaging/InstallServerFiles.cmake COMPONENT server)

install(TARGETS basalt-host RUNTIME DESTINATION ${QORVIN_PLUGIN_DIR} COMPONENT plugin)
install(TARGETS basalt Personal LIBRARY DESTINATION ${QORVIN_PLUGIN_DIR} COMPONENT plugin)
file(RELATIVE_PATH qorvin_bin_to_plugin /${CMAKE_INSTALL_BINDIR} /${QORVIN_PLUGIN_DIR})
file(RELATIVE_PATH qorvin_plugin_to_lib /${QORVIN_PLUGIN_DIR} /${CMAKE_INSTALL_LIBDIR}/x)
get_filename_component(qorvin_plugin_to_lib ${qorvin_plugin_to_lib} DIRECTORY)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/links)
file(CREATE_LINK ${qorvin_bin_to_plugin}/basalt-host ${PROJECT_BINARY_DIR}/packaging/links/basalt-host
     SYMBOLIC)
file(CREATE_LINK ${qorvin_plugin_to_lib}/${QORVIN_CLIENT_SONAME}
     ${PROJECT_BINARY_DIR}/packaging/links/libQorvinClient.so SYMBOLIC)
install(FILES ${PROJECT_BINARY_DIR}/packaging/links/basalt-host
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT plugin)
install(FILES ${PROJECT_BINARY_DIR}/packaging/links/libQorvinClient.so
        DESTINATION ${QORVIN_PLUGIN_DIR} COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/basalt/demo/demo-menu.txt
              ${PROJECT_SOURCE_DIR}/basalt/demo/demo-server.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qorvin/demo COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/docs/basalt.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT plugin)

# The CMake package: find_package(Qorvin) gives the interface target Qorvin::Client (the include
# folder, the dl library, QORVIN_CLIENT_LIBRARY defined as the installed library's path) and the
# variable Qorvin_CLIENT_LIBRARY. Relocatable: paths are computed from the package's own place.
set(QORVIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Qorvin)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/QorvinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/QorvinConfig.cmake
  INSTALL_DESTINATION ${QORVIN_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/QorvinConfigVersion.cmake
  VERSION ${QORVIN_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/QorvinConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/QorvinConfigVersion.cmake
        DESTINATION ${QORVIN_CMAKE_DIR} COMPONENT dev)

# The pkg-config file: Cflags for the header; the library's path as the variable clientlibrary.
# Relocatable too: the prefix is found from the file's own folder (${pcfiledir}).
file(RELATIVE_PATH qorvin_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" qorvin_pc_to_prefix "${qorvin_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/qorvin-client.pc.in
               ${PROJECT_BINARY_DIR}/packaging/qorvin-client.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/qorvin-client.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
