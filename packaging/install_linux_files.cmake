# Run by `cmake --install` (Linux layout): writes the files that carry install
# paths and links the command. The helper's client group is left to
# systemd-sysusers on the target, which reads the sysusers.d file installed here
# (a package runs it from its maintainer scripts). Inputs: VELTO_TEMPLATES,
# VELTO_STAGING, VELTO_PROGRAM_DIR, VELTO_UNIT_DIR, VELTOVPN_HELPER_CLIENT_GROUP,
# and CMake's install variables.

set(prefix "${CMAKE_INSTALL_PREFIX}")
set(VELTOVPN_HELPER_PROGRAM "${prefix}/${VELTO_PROGRAM_DIR}/veltovpn-helper")
set(VELTOVPN_LAUNCHER_LINK "${prefix}/bin/veltovpn")

configure_file("${VELTO_TEMPLATES}/veltovpn-helper.service.in"
  "${VELTO_STAGING}/veltovpn-helper.service" @ONLY)
configure_file("${VELTO_TEMPLATES}/veltovpn.sysusers.conf.in"
  "${VELTO_STAGING}/veltovpn.conf" @ONLY)
configure_file("${VELTO_TEMPLATES}/veltovpn.desktop.in"
  "${VELTO_STAGING}/veltovpn.desktop" @ONLY)

set(unit_dir "${VELTO_UNIT_DIR}")
if(NOT IS_ABSOLUTE "${unit_dir}")
  set(unit_dir "${prefix}/${unit_dir}")
endif()
file(INSTALL "${VELTO_STAGING}/veltovpn-helper.service" DESTINATION "${unit_dir}")
file(INSTALL "${VELTO_STAGING}/veltovpn.conf" DESTINATION "${prefix}/lib/sysusers.d")
file(INSTALL "${VELTO_STAGING}/veltovpn.desktop" DESTINATION "${prefix}/share/applications")

# The command: a link the launcher follows back to its own directory.
set(link "$ENV{DESTDIR}${prefix}/bin/veltovpn")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${prefix}/bin")
file(REMOVE "${link}")
file(CREATE_LINK "../${VELTO_PROGRAM_DIR}/VeltoVpnLauncher" "${link}" SYMBOLIC)
message(STATUS "Installing: ${link} -> ../${VELTO_PROGRAM_DIR}/VeltoVpnLauncher")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
