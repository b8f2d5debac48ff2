# Man pages (scdoc sources in docs/man/), bash completion, and the Debian packages made by
# `cpack -G DEB` from the install components of cmake/Install.cmake:
#
#   libqorvinclient1     component library
#   libqorvinclient-dev  component dev
#   qorvin               component cli
#   qorvin-server        component server (system user qorvin-server, made by its postinst)
#   qorvin-personal      component plugin
#   python3-qorvin       component python (when the Python module is built: python/)
#
# Every package carries its copyright and changelog.Debian.gz in share/doc/<package>/. Dependencies on
# system libraries come from dpkg-shlibdeps; those on libraries loaded with dlopen (our own
# library, and libcurl, which is loaded on the first HTTP request) are invisible to
# dpkg-shlibdeps and declared below.

# Man pages: docs/man/NAME.SECTION.scd -> NAME.SECTION.gz, built with everything else.
find_program(QORVIN_SCDOC scdoc)
find_program(QORVIN_GZIP gzip)
set(qorvin_man_pages)
if(QORVIN_SCDOC AND QORVIN_GZIP)
  foreach(page qorvin.1 qorvin-server.1 basalt-host.1)
    set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND sh -c "'${QORVIN_SCDOC}' < '${PROJECT_SOURCE_DIR}/docs/man/${page}.scd' | '${QORVIN_GZIP}' -9n > '${out}'"
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd
      COMMENT "Man page ${page}" VERBATIM)
    list(APPEND qorvin_man_pages ${out})
  endforeach()
  add_custom_target(man ALL DEPENDS ${qorvin_man_pages})
  install(FILES ${PROJECT_BINARY_DIR}/man/qorvin.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
  install(FILES ${PROJECT_BINARY_DIR}/man/qorvin-server.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
  install(FILES ${PROJECT_BINARY_DIR}/man/basalt-host.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT plugin)
else()
  message(WARNING "scdoc or gzip not found (scripts/setup.sh installs them): no man pages")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/tools/qorvin/completion/qorvin.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qorvin
        COMPONENT cli)

# Package names, per component.
set(QORVIN_PACKAGE_library libqorvinclient${QORVIN_SOVERSION})
set(QORVIN_PACKAGE_dev libqorvinclient-dev)
set(QORVIN_PACKAGE_cli qorvin)
set(QORVIN_PACKAGE_server qorvin-server)
set(QORVIN_PACKAGE_plugin qorvin-personal)
set(QORVIN_PACKAGE_python python3-qorvin)
set(qorvin_components library dev cli server plugin)
if(TARGET qorvin_python)
  list(APPEND qorvin_components python)
endif()

# copyright and changelog.Debian.gz of every package.
set(qorvin_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${qorvin_changelog}
  COMMAND sh -c "gzip -9n < '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${qorvin_changelog}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${qorvin_changelog})
foreach(component ${qorvin_components})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${qorvin_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QORVIN_PACKAGE_${component}}
          COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorvin)
set(CPACK_PACKAGE_VERSION ${QORVIN_VERSION})
set(CPACK_PACKAGE_VENDOR "Qorvin")
set(CPACK_PACKAGE_CONTACT "Qorvin developers <packages@qorvin.dev>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${qorvin_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(qorvin_full_version "${QORVIN_VERSION}-1")

foreach(component ${qorvin_components})
  string(TOUPPER ${component} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${QORVIN_PACKAGE_${component}})
endforeach()

# libcurl's run-time package: the one that holds the library this build's libcurl.so points to
# (libcurl4 on Debian 12), at the version whose functions the HTTP engine calls.
find_package(CURL REQUIRED)
set(qorvin_curl_package libcurl4)
find_program(QORVIN_DPKG_QUERY dpkg-query)
if(QORVIN_DPKG_QUERY AND CURL_LIBRARIES)
  list(GET CURL_LIBRARIES 0 qorvin_curl_file)
  get_filename_component(qorvin_curl_file "${qorvin_curl_file}" REALPATH)
  execute_process(COMMAND ${QORVIN_DPKG_QUERY} -S "${qorvin_curl_file}"
                  OUTPUT_VARIABLE qorvin_curl_owner ERROR_QUIET RESULT_VARIABLE qorvin_curl_rc)
  if(qorvin_curl_rc EQUAL 0 AND qorvin_curl_owner MATCHES "^([a-z0-9.+-]+)(:[a-z0-9]+)?: ")
    set(qorvin_curl_package ${CMAKE_MATCH_1})
  endif()
endif()
set(QORVIN_CURL_DEPENDS "${qorvin_curl_package} (>= 7.80.0)")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${QORVIN_CURL_DEPENDS}")
# The shlibs file (libQorvinClient 1 libqorvinclient1 (= version)); CPack offers it only for
# every package at once, and skips libraries without an SONAME (the plug-in's private ones).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/library/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "Qorvin client library
 libQorvinClient.so: the remote data module through which a host application
 runs SQL statements, stored procedures and table uploads on a middleware
 server, over HTTP, TCP or UDP. Hosts load it with dlopen.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${QORVIN_PACKAGE_library} (= ${qorvin_full_version})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "Qorvin client library: header, CMake package, pkg-config file
 The host header qorvin/QorvinClient.h, find_package(Qorvin) (target
 Qorvin::Client) and qorvin-client.pc, for host applications that load
 libQorvinClient.so with dlopen.")

set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "${QORVIN_PACKAGE_library} (= ${qorvin_full_version})")
set(CPACK_DEBIAN_CLI_DESCRIPTION "Qorvin command-line host
 qorvin runs the operations of the Qorvin client library against a
 middleware server from a shell and shows the results as a table, CSV or
 JSON; qorvin probe checks that servers answer.")

set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION database)
# procps: /bin/kill, which the unit's ExecReload runs (a minimal Debian system lacks it).
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, procps")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "Qorvin reference middleware server
 qorvin-server serves the Qorvin services over HTTP, TCP and UDP on SQLite
 or PostgreSQL, with a request log and Prometheus metrics. It runs as the
 system user qorvin-server under systemd (qorvin-server.service), configured
 in /etc/qorvin/qorvin-server.conf.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/server/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/server/postinst
    ${PROJECT_SOURCE_DIR}/packaging/server/prerm
    ${PROJECT_SOURCE_DIR}/packaging/server/postrm)

# Qt's own translations give the dialog's message boxes their buttons in the host's language.
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS
    "${QORVIN_PACKAGE_library} (= ${qorvin_full_version}), qt6-translations-l10n")
# The dialog's labels are Chinese: without a CJK font Qt draws boxes.
set(CPACK_DEBIAN_PLUGIN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "Qorvin Personal plug-in and basalt-host
 The Personal common-functions dialog (libPersonal.so), the plug-in framework
 stand-in libbasalt.so, and basalt-host, which runs the dialog against a
 middleware server.")

# The extension is built for one Python's ABI (its file name says which: cpython-311-...).
if(TARGET qorvin_python)
  math(EXPR qorvin_python_next "${QORVIN_PYTHON_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "${QORVIN_PACKAGE_library} (= ${qorvin_full_version}), python3 (>= ${QORVIN_PYTHON_VERSION}), python3 (<< 3.${qorvin_python_next})")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-pandas")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Qorvin DB-API 2.0 module for Python 3
 The qorvin module: PEP 249 connections and cursors over the Qorvin client
 library, with parameters rendered as literals on the client, table uploads,
 cancel and progress, and rows to a pandas DataFrame.")
endif()

include(CPack)

# The consumer test: install, outside hosts, packages (tests/install/consumer.sh). Not in the
# sanitizer builds, whose instrumented library an ordinary host cannot load.
if(QORVIN_TESTS AND NOT QORVIN_SANITIZE AND NOT QORVIN_FUZZ)
  add_test(NAME install_consumer
           COMMAND ${PROJECT_SOURCE_DIR}/tests/install/consumer.sh ${PROJECT_BINARY_DIR}
                   ${PROJECT_SOURCE_DIR})
  # Both run cpack on this build folder: one at a time.
  set_tests_properties(install_consumer PROPERTIES TIMEOUT 600 RESOURCE_LOCK cpack)
  # The packages through apt into a fresh Debian 12 root (tests/install/apt-root.sh); skipped
  # without root, debootstrap or the mirror. The root is cached in the build folder (apt-root/).
  add_test(NAME install_apt_root
           COMMAND ${PROJECT_SOURCE_DIR}/tests/install/apt-root.sh ${PROJECT_BINARY_DIR}
                   ${PROJECT_SOURCE_DIR})
  set_tests_properties(install_apt_root PROPERTIES TIMEOUT 1200 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK cpack)
endif()

# The bash completion against the program's own help.
if(QORVIN_TESTS)
  add_test(NAME cli_completion
           COMMAND ${PROJECT_SOURCE_DIR}/tests/install/completion.sh $<TARGET_FILE:qorvin>
                   ${PROJECT_SOURCE_DIR}/tools/qorvin/completion/qorvin.bash)
endif()
