# Install layout and the Debian package of the bridge. Included at the end of
# the top-level list, after every target exists.
include(GNUInstallDirs)

set(PSMR_PACKAGE_NAME patient-simulator-monitor-relay)
set(PSMR_PACKAGE_MAINTAINER
    "PatientSimulatorMonitorRelay maintainers <maintainers@patient-simulator-monitor-relay.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
# Debian 12 keeps the units of packages in /lib (systemd's own pkg-config
# value); systemd also reads units below /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_psmr_unitdir /lib/systemd/system)
else()
  set(_psmr_unitdir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(PSMR_SYSTEMD_UNIT_DIR ${_psmr_unitdir} CACHE PATH "Where the systemd unit is installed")

set(_psmr_src ${CMAKE_CURRENT_LIST_DIR})
set(_psmr_out ${CMAKE_BINARY_DIR}/packaging)
set(_psmr_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PSMR_PACKAGE_NAME})
# Absolute: with the /usr prefix of a package the configuration belongs in /etc.
# The unit and the manual page name these paths, so an install under another
# prefix stays consistent.
set(PSMR_CONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${PSMR_PACKAGE_NAME})
set(PSMR_DOCDIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/${PSMR_PACKAGE_NAME})

# The service's default configuration is the commented example, but it searches
# by broadcast: the example's fixed address is the demo's emulated unit.
set(_psmr_example ${CMAKE_SOURCE_DIR}/examples/bridge.xml)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_psmr_example})
file(READ ${_psmr_example} _psmr_xml)
string(REGEX REPLACE "<IPAddress>[^<]*</IPAddress>" "<IPAddress></IPAddress>" _psmr_service_xml
                     "${_psmr_xml}")
if(_psmr_service_xml STREQUAL _psmr_xml AND NOT _psmr_xml MATCHES "<IPAddress></IPAddress>")
  message(FATAL_ERROR "examples/bridge.xml has no IPAddress element to clear for the service")
endif()
file(WRITE ${_psmr_out}/bridge.xml "${_psmr_service_xml}")
file(WRITE ${_psmr_out}/conffiles "${PSMR_CONFDIR}/bridge.xml\n")

configure_file(${_psmr_src}/${PSMR_PACKAGE_NAME}.service.in ${_psmr_out}/${PSMR_PACKAGE_NAME}.service
               @ONLY)

# The manual page: the source with version and date filled in, compressed as
# Debian keeps manual pages. SOURCE_DATE_EPOCH, when set, fixes the date.
string(TIMESTAMP PSMR_MAN_DATE "%Y-%m-%d" UTC)
configure_file(${_psmr_src}/PatientSimulatorMonitorRelay.1.in ${_psmr_out}/PatientSimulatorMonitorRelay.1
               @ONLY)
add_custom_command(
  OUTPUT ${_psmr_out}/PatientSimulatorMonitorRelay.1.gz
  COMMAND gzip -9 -n -c ${_psmr_out}/PatientSimulatorMonitorRelay.1 >
          ${_psmr_out}/PatientSimulatorMonitorRelay.1.gz
  DEPENDS ${_psmr_out}/PatientSimulatorMonitorRelay.1
  COMMENT "Compressing the manual page")
add_custom_target(manpage ALL DEPENDS ${_psmr_out}/PatientSimulatorMonitorRelay.1.gz)

install(FILES ${_psmr_out}/PatientSimulatorMonitorRelay.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_psmr_out}/bridge.xml DESTINATION ${PSMR_CONFDIR})
install(FILES ${_psmr_out}/${PSMR_PACKAGE_NAME}.service DESTINATION ${PSMR_SYSTEMD_UNIT_DIR})
install(FILES ${_psmr_example} ${CMAKE_SOURCE_DIR}/examples/demo-scenario.txt
              ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${_psmr_docdir})
install(FILES ${CMAKE_SOURCE_DIR}/emulators/sim_server/README.md DESTINATION ${_psmr_docdir}
        RENAME README.sim-server-emulator.md)
install(FILES ${CMAKE_SOURCE_DIR}/emulators/relay_unit/README.md DESTINATION ${_psmr_docdir}
        RENAME README.relay-unit-emulator.md)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PSMR_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PSMR_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge from a patient simulation to real patient monitors")
# Debian wants the long description in lines of under 80 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "PatientSimulatorMonitorRelay reads a running patient simulation from the\n"
       "simulation server on the same computer and drives a MonitorRelay unit over\n"
       "the network, which feeds real clinical patient monitors with the simulated\n"
       "vital signs and waveforms.\n"
       "The package holds the bridge, its systemd unit (installed, not enabled),\n"
       "its manual page, and two emulators that stand in for the simulation server\n"
       "and the unit.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PSMR_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Added to what dpkg-shlibdeps finds: the postinst creates the service user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_psmr_out}/conffiles ${_psmr_src}/postinst
                                       ${_psmr_src}/prerm ${_psmr_src}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
