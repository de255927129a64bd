# Linux packages: `cpack` (run in the build folder) makes
#   halvex-service_<SERVICE_VERSION>_<arch>.deb   the agent and halvex-servicectl,
#                                                 halvex-service.service
#   recovery-server_<SERVICE_VERSION>_<arch>.deb  the reference server,
#                                                 recovery-server.service
#   Halvex_Service_Setup.run                      the agent's installer for the
#                                                 self-update (makeself)
# Library dependencies come from dpkg-shlibdeps; binaries are stripped.

set(HALVEX_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})
set(HALVEX_PKG_BUILD ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS halvex-service RUNTIME DESTINATION sbin COMPONENT agent)
install(TARGETS halvex-servicectl RUNTIME DESTINATION bin COMPONENT agent)
install(FILES ${HALVEX_PKG_DIR}/halvex-service.service DESTINATION /lib/systemd/system COMPONENT agent)
install(TARGETS recovery-server RUNTIME DESTINATION bin COMPONENT server)
install(FILES ${HALVEX_PKG_DIR}/recovery-server.service DESTINATION /lib/systemd/system COMPONENT server)

# halvex_package_docs(PACKAGE COMPONENT DATA UNIT): copyright, changelog
# and the prerm/postrm that stop and forget UNIT and purge DATA.
function(halvex_package_docs package component data unit)
  set(out ${HALVEX_PKG_BUILD}/${package})
  set(PACKAGE ${package})
  set(UNIT ${unit})
  set(DATA ${data})
  configure_file(${HALVEX_PKG_DIR}/prerm.in ${out}/prerm @ONLY FILE_PERMISSIONS
                 OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  configure_file(${HALVEX_PKG_DIR}/postrm.in ${out}/postrm @ONLY FILE_PERMISSIONS
                 OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${out}/changelog
       "${package} (${SERVICE_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${SERVICE_VERSION}.\n\n"
       " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
  execute_process(COMMAND gzip -9nf ${out}/changelog)
  install(FILES ${out}/changelog.gz ${HALVEX_PKG_DIR}/copyright
          DESTINATION share/doc/${package} COMPONENT ${component})
endfunction()

set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VERSION ${SERVICE_VERSION})
set(CPACK_PACKAGE_CONTACT "Halvex <packages@halvex.example>")
set(CPACK_PACKAGE_VENDOR Halvex)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL agent server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

halvex_package_docs(halvex-service agent /var/lib/halvex-service-native halvex-service.service)
set(CPACK_DEBIAN_AGENT_PACKAGE_NAME halvex-service)
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# ffmpeg renders the thumbnails; libusb-0.1 finds drones on USB. The agent
# works without either.
set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "ffmpeg, libusb-0.1-4")
string(CONCAT CPACK_COMPONENT_AGENT_DESCRIPTION
    "Halvex Service agent for cloud data recovery\n"
    "Background agent that links this machine to a recovery server and carries\n"
    "out its commands: disk listing, imaging, media scans, video thumbnails,\n"
    "drone relay, downloads and self-update. Runs as halvex-service.service;\n"
    "halvex-servicectl pairs it and shows its status.")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
    ${HALVEX_PKG_DIR}/agent/postinst ${HALVEX_PKG_BUILD}/halvex-service/prerm ${HALVEX_PKG_BUILD}/halvex-service/postrm)

halvex_package_docs(recovery-server server /var/lib/recovery-server recovery-server.service)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME recovery-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
string(CONCAT CPACK_COMPONENT_SERVER_DESCRIPTION
    "Halvex reference recovery server\n"
    "HTTPS and WebSocket server that pairs Halvex Service agents, sends them\n"
    "commands and stores their uploads. Runs as recovery-server.service under\n"
    "its own system user, with its data in /var/lib/recovery-server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${HALVEX_PKG_DIR}/server/postinst ${HALVEX_PKG_BUILD}/recovery-server/prerm ${HALVEX_PKG_BUILD}/recovery-server/postrm)

# After the packages: the self-update's installer around the agent's .deb.
set(CPACK_HALVEX_MAKE_INSTALLER ${HALVEX_PKG_DIR}/make-installer)
set(CPACK_POST_BUILD_SCRIPTS ${HALVEX_PKG_DIR}/installer.cmake)

include(CPack)
