# The executables of the bundle that talk to the helper, as one list of
# PATH=IDENTIFIER entries (PATH relative to Contents/MacOS). The signing gives
# each executable its identifier, and the client requirement must name every
# one: after the launcher's execv the process that connects is the main binary,
# which is otherwise signed with an identifier made from its file name.
# Included by the top-level CMakeLists.txt, cmake/macos-plists.cmake and
# cmake/sign-macos-app.cmake; any host.

if(NOT DEFINED VELTOVPN_HELPER_CLIENT_IDENTIFIERS)
  set(VELTOVPN_HELPER_CLIENT_IDENTIFIERS
      "VeltoVpnLauncher=${VELTOVPN_BUNDLE_ID};veltoVpn-bin=${VELTOVPN_BUNDLE_ID}.bin")
endif()

# Sets `out` to the identifiers of the list `entries`, in order; fails on an
# entry that is not PATH=IDENTIFIER.
function(velto_helper_client_identifiers out entries)
  set(identifiers "")
  foreach(entry IN LISTS entries)
    if(NOT entry MATCHES "^[^=]+=([A-Za-z0-9.-]+)$")
      message(FATAL_ERROR "VELTOVPN_HELPER_CLIENT_IDENTIFIERS: '${entry}' is not PATH=IDENTIFIER")
    endif()
    list(APPEND identifiers "${CMAKE_MATCH_1}")
  endforeach()
  set(${out} "${identifiers}" PARENT_SCOPE)
endfunction()
