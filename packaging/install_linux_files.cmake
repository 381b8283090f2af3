# Run by `cmake --install` (Linux layout): writes the files that carry install
# paths, links the command, and creates the helper's client group when installing
# for real as root. Inputs: VELTO_TEMPLATES, VELTO_STAGING, VELTO_PROGRAM_DIR,
# VELTOVPN_HELPER_CLIENT_GROUP, VELTO_CREATE_GROUP, and CMake's install variables.

set(prefix "${CMAKE_INSTALL_PREFIX}")
set(VELTOVPN_HELPER_PROGRAM "${prefix}/${VELTO_PROGRAM_DIR}/veltovpn-helper")
set(VELTOVPN_LAUNCHER_LINK "${prefix}/bin/veltovpn")

configure_file("${VELTO_TEMPLATES}/veltovpn-helper.service.in"
  "${VELTO_STAGING}/veltovpn-helper.service" @ONLY)
configure_file("${VELTO_TEMPLATES}/veltovpn.sysusers.conf.in"
  "${VELTO_STAGING}/veltovpn.conf" @ONLY)
configure_file("${VELTO_TEMPLATES}/veltovpn.desktop.in"
  "${VELTO_STAGING}/veltovpn.desktop" @ONLY)

file(INSTALL "${VELTO_STAGING}/veltovpn-helper.service" DESTINATION "${prefix}/lib/systemd/system")
file(INSTALL "${VELTO_STAGING}/veltovpn.conf" DESTINATION "${prefix}/lib/sysusers.d")
file(INSTALL "${VELTO_STAGING}/veltovpn.desktop" DESTINATION "${prefix}/share/applications")

# The command: a link the launcher follows back to its own directory.
set(link "$ENV{DESTDIR}${prefix}/bin/veltovpn")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${prefix}/bin")
file(REMOVE "${link}")
file(CREATE_LINK "../${VELTO_PROGRAM_DIR}/VeltoVpnLauncher" "${link}" SYMBOLIC)
message(STATUS "Installing: ${link} -> ../${VELTO_PROGRAM_DIR}/VeltoVpnLauncher")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")

# The group whose members may use the helper.
set(group "${VELTOVPN_HELPER_CLIENT_GROUP}")
if(NOT "$ENV{DESTDIR}" STREQUAL "" OR NOT VELTO_CREATE_GROUP)
  message(STATUS "Not creating group '${group}' (staged install); the package's "
                 "sysusers.d file or `groupadd --system ${group}` does it on the target")
  return()
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND getent group "${group}" RESULT_VARIABLE missing OUTPUT_QUIET)
if(NOT missing)
  message(STATUS "Group '${group}' exists")
elseif(NOT uid STREQUAL "0")
  message(WARNING "Group '${group}' missing and not installing as root: "
                  "run `sudo groupadd --system ${group}`")
else()
  execute_process(COMMAND groupadd --system "${group}" RESULT_VARIABLE failed)
  if(failed)
    message(WARNING "groupadd --system ${group} failed")
  else()
    message(STATUS "Created group '${group}'; add users with `usermod -aG ${group} USER`")
  endif()
endif()
