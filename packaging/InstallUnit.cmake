# Runs inside the install script, where CMAKE_INSTALL_PREFIX is the final prefix: fills the
# binary's absolute path into the systemd user unit and installs it, with the socket unit.

if(IS_ABSOLUTE "${VORN_BINDIR}")
  set(CMAKE_INSTALL_FULL_BINDIR "${VORN_BINDIR}")
else()
  set(CMAKE_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${VORN_BINDIR}")
endif()
if(IS_ABSOLUTE "${VORN_UNIT_DIR}")
  set(vorn_unit_destination "${VORN_UNIT_DIR}")
else()
  set(vorn_unit_destination "${CMAKE_INSTALL_PREFIX}/${VORN_UNIT_DIR}")
endif()

configure_file("${VORN_UNIT_TEMPLATE}" "${VORN_UNIT_STAGING}/vorn-font-agent.service" @ONLY)
# file(INSTALL) honours DESTDIR, prints the usual "Installing:" line and records the file in
# install_manifest.txt.
file(INSTALL DESTINATION "${vorn_unit_destination}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${VORN_UNIT_STAGING}/vorn-font-agent.service" "${VORN_SOCKET_UNIT}")
