# Installation layout and the Debian packages (`make package`, CPack):
#   hvps-server   hvpsd, hvps-client, hvps-md5pwd, hvps-setup, man pages, the system service, its
#                 configuration in /etc/hvps and the logrotate file; no Qt.
#   hvps-manager  the desktop application with its menu entry and icons; needs hvps-server.
# Components: "server" (programs, man pages, shared files), "system" (files outside the prefix:
# /etc, the unit, logrotate; only the package installs them, not a plain `cmake --install`) and
# "manager".
set(HVPS_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(HVPS_MAINTAINER "HVPS maintainers <hvps-maintainers@halvora.example>")

# Man pages and the package changelog, compressed as Debian installs them.
find_program(HVPS_GZIP gzip REQUIRED)
set(HVPS_MAN_PAGES hvpsd.8 hvps-setup.8 hvps-client.1 hvps-md5pwd.1)
set(HVPS_DOC_OUTPUTS)
foreach(page ${HVPS_MAN_PAGES})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  configure_file(${CMAKE_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "${HVPS_GZIP} -9n -c ${CMAKE_BINARY_DIR}/man/${page} > ${out}"
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page} VERBATIM)
  list(APPEND HVPS_DOC_OUTPUTS ${out})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT server)
endforeach()
configure_file(${HVPS_PACKAGING_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND sh -c "${HVPS_GZIP} -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz"
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
list(APPEND HVPS_DOC_OUTPUTS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_target(hvps_docs ALL DEPENDS ${HVPS_DOC_OUTPUTS})

set(HVPS_PACKAGES hvps-server)
if(TARGET HalvoraPersonalServer)
  list(APPEND HVPS_PACKAGES hvps-manager)
endif()
foreach(package ${HVPS_PACKAGES})
  string(REGEX REPLACE "^hvps-" "" component ${package})
  install(FILES ${HVPS_PACKAGING_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# Files outside the prefix, for the package only.
install(FILES ${HVPS_PACKAGING_DIR}/hvps.config DESTINATION /etc/hvps
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${HVPS_PACKAGING_DIR}/hvpsd.service DESTINATION /lib/systemd/system
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${HVPS_PACKAGING_DIR}/hvps.logrotate DESTINATION /etc/logrotate.d RENAME hvps
        COMPONENT system EXCLUDE_FROM_ALL)

if(TARGET HalvoraPersonalServer)
  install(FILES ${HVPS_PACKAGING_DIR}/halvora-personal-server.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT manager)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/icons/hicolor
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT manager)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hvps)
set(CPACK_PACKAGE_VERSION ${HVPS_VERSION_TEXT})
set(CPACK_PACKAGE_CONTACT ${HVPS_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_SERVER_GROUP server)
set(CPACK_COMPONENT_SYSTEM_GROUP server)
set(CPACK_COMPONENT_MANAGER_GROUP manager)
set(CPACK_COMPONENTS_ALL server system)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the programs link come from dpkg-shlibdeps where the machine has it.
find_program(HVPS_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(HVPS_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(HVPS_SERVER_LIBRARIES "")
  set(HVPS_MANAGER_LIBRARIES "")
else()
  set(HVPS_SERVER_LIBRARIES ", libc6, libgcc-s1, libssl3, libstdc++6")
  set(HVPS_MANAGER_LIBRARIES ", libqt6core6, libqt6gui6, libqt6widgets6")
endif()

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME hvps-server)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "Halvora Personal Server: repository server of the sync clients
hvpsd keeps the spaces (shared folders) of the Halvora file-synchronisation
clients on this machine and serves them over HTTP. The package runs it as the
system service hvpsd under the user hvps; hvps-setup sets the server password,
hvps-client talks to the server from the command line.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser${HVPS_SERVER_LIBRARIES}")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${HVPS_PACKAGING_DIR}/debian/conffiles ${HVPS_PACKAGING_DIR}/debian/postinst
    ${HVPS_PACKAGING_DIR}/debian/prerm ${HVPS_PACKAGING_DIR}/debian/postrm)

if(TARGET HalvoraPersonalServer)
  list(APPEND CPACK_COMPONENTS_ALL manager)
  set(CPACK_DEBIAN_MANAGER_PACKAGE_NAME hvps-manager)
  set(CPACK_DEBIAN_MANAGER_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_MANAGER_DESCRIPTION "Halvora Personal Server: desktop manager
HalvoraPersonalServer shows whether the personal server of the Halvora sync
clients runs, starts and stops it for the desktop user and edits its
configuration.")
  set(CPACK_DEBIAN_MANAGER_PACKAGE_DEPENDS "hvps-server (= ${HVPS_VERSION_TEXT})${HVPS_MANAGER_LIBRARIES}")
endif()

include(CPack)
