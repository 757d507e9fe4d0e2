# Install layout of what is not a program: the manual pages and the service's
# default configuration. The Debian package (debian/) takes them from the
# install tree; the unit and the maintainer scripts live there.
include(GNUInstallDirs)

set(PSMR_PACKAGE_NAME patient-simulator-monitor-relay)
# Absolute: with the /usr prefix of a package the configuration belongs in /etc.
set(PSMR_CONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${PSMR_PACKAGE_NAME})
set(PSMR_DOCDIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/${PSMR_PACKAGE_NAME})
set(PSMR_DATADIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/${PSMR_PACKAGE_NAME})

set(_psmr_src ${CMAKE_CURRENT_LIST_DIR})
set(_psmr_out ${CMAKE_BINARY_DIR}/packaging)

# The service's first configuration is the commented example, but it searches
# by broadcast: the example's fixed address is the demo's emulated unit. The
# package copies it to /etc only when no configuration is there yet.
set(_psmr_example ${CMAKE_SOURCE_DIR}/examples/bridge.xml)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_psmr_example})
file(READ ${_psmr_example} _psmr_xml)
string(REGEX REPLACE "<IPAddress>[^<]*</IPAddress>" "<IPAddress></IPAddress>" _psmr_service_xml
                     "${_psmr_xml}")
if(_psmr_service_xml STREQUAL _psmr_xml AND NOT _psmr_xml MATCHES "<IPAddress></IPAddress>")
  message(FATAL_ERROR "examples/bridge.xml has no IPAddress element to clear for the service")
endif()
file(WRITE ${_psmr_out}/bridge.xml "${_psmr_service_xml}")
install(FILES ${_psmr_out}/bridge.xml DESTINATION ${PSMR_DATADIR})

# The manual pages with version and date filled in; SOURCE_DATE_EPOCH, which
# dpkg-buildpackage sets from the changelog, fixes the date.
string(TIMESTAMP PSMR_MAN_DATE "%Y-%m-%d" UTC)
foreach(page PatientSimulatorMonitorRelay relay-unit-emulator sim-server-emulator)
  configure_file(${_psmr_src}/man/${page}.1.in ${_psmr_out}/${page}.1 @ONLY)
  install(FILES ${_psmr_out}/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
