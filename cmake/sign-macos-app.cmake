# Signs a laid-out bundle (cmake/assemble-macos-app.cmake, with the main
# application added by whoever packages it) so that every executable that talks
# to the helper carries the identifier the helper's client requirement names;
# run in script mode, on macOS (codesign), by the target veltovpn-sign-app:
#
#   cmake -DAPP=<dir>/veltoVpn.app -DIDENTITY=<signing identity> -DHELPER_NAME=<label>
#         -DVELTOVPN_HELPER_CLIENT_IDENTIFIERS=<PATH=IDENTIFIER;...> -P sign-macos-app.cmake
#
# Inside out, each with the hardened runtime and a secure timestamp: the helper
# (identified by its label), the agent, every client executable but the launcher
# with its own identifier, then the bundle, which signs the launcher (its main
# executable) with the launcher's entry. Sparkle.framework is signed before this,
# as its own documentation describes. A client executable missing from the
# bundle fails the signing: the bundle would ship without it.
cmake_minimum_required(VERSION 3.25)

foreach(required APP IDENTITY HELPER_NAME VELTOVPN_HELPER_CLIENT_IDENTIFIERS)
  if("${${required}}" STREQUAL "")
    message(FATAL_ERROR "sign-macos-app: ${required} not given")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/helper-clients.cmake")
velto_helper_client_identifiers(identifiers "${VELTOVPN_HELPER_CLIENT_IDENTIFIERS}")
find_program(CODESIGN codesign REQUIRED)

function(sign path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "sign-macos-app: ${path} is not in the bundle")
  endif()
  execute_process(COMMAND "${CODESIGN}" --force --options runtime --timestamp
                          --sign "${IDENTITY}" ${ARGN} "${path}"
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()

set(contents "${APP}/Contents")
sign("${contents}/Library/LaunchServices/${HELPER_NAME}" --identifier "${HELPER_NAME}")
sign("${contents}/MacOS/veltovpn-menubar")
set(launcher_identifier "")
foreach(entry identifier IN ZIP_LISTS VELTOVPN_HELPER_CLIENT_IDENTIFIERS identifiers)
  string(REGEX REPLACE "=.*" "" path "${entry}")
  if(path STREQUAL "VeltoVpnLauncher")
    set(launcher_identifier "${identifier}")
  else()
    sign("${contents}/MacOS/${path}" --identifier "${identifier}")
  endif()
endforeach()
if(launcher_identifier STREQUAL "")
  message(FATAL_ERROR "sign-macos-app: VELTOVPN_HELPER_CLIENT_IDENTIFIERS has no entry for VeltoVpnLauncher")
endif()
sign("${APP}" --identifier "${launcher_identifier}")
message(STATUS "sign-macos-app: ${APP} signed by ${IDENTITY}")
