# Install layouts.
#
# Linux (FHS), under the prefix:
#   lib/veltovpn/bin/{VeltoVpnLauncher,veltovpn-menubar,veltovpn-helper}
#   lib/veltovpn/Resources/menubar/*.png   (the agent finds them from its own directory)
#   share/icons/hicolor/scalable/status/veltovpn-*-symbolic.svg   (found through the icon theme)
#   bin/veltovpn -> ../lib/veltovpn/bin/VeltoVpnLauncher
#   lib/systemd/system/veltovpn-helper.service (VELTOVPN_SYSTEMD_UNIT_DIR),
#   lib/sysusers.d/veltovpn.conf, share/applications/veltovpn.desktop,
#   share/icons/hicolor/scalable/apps/veltovpn.svg,
#   share/metainfo/<bundle id>.metainfo.xml, share/man/man{1,8}/
# macOS: veltoVpn.app under the prefix, laid out as cmake/assemble-macos-app.cmake
# does (helper and its launchd job under Contents/Library); on Linux the same
# layout, without the generated property lists, installs as the component
# "macos-bundle" when asked for.
# The stand-in main application is never installed unless the component
# "standin" is asked for (development installs), as veltoVpn-bin beside the launcher.

# Relative to the prefix, or absolute where the system's units live outside it
# (/lib/systemd/system on a Debian without merged /usr).
set(VELTOVPN_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the helper's systemd unit is installed")

set(VELTOVPN_INSTALL_PROGRAM_DIR lib/veltovpn/bin)
set(VELTOVPN_INSTALL_ICON_DIR lib/veltovpn/Resources/menubar)

# velto_install_program(<target> <installed name> <destination> [COMPONENT c] [EXCLUDE_FROM_ALL])
function(velto_install_program target name destination)
  cmake_parse_arguments(ARG "EXCLUDE_FROM_ALL" "COMPONENT" "" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  set(extra)
  if(ARG_COMPONENT)
    list(APPEND extra COMPONENT ${ARG_COMPONENT})
  endif()
  if(ARG_EXCLUDE_FROM_ALL)
    list(APPEND extra EXCLUDE_FROM_ALL)
  endif()
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${destination} RENAME ${name} ${extra})
endfunction()

# ---- macOS bundle layout --------------------------------------------------------
set(bundle_extra)
if(NOT APPLE)
  set(bundle_extra EXCLUDE_FROM_ALL)
endif()
set(contents veltoVpn.app/Contents)
foreach(program VeltoVpnLauncher veltovpn-menubar)
  velto_install_program(${program} ${program} ${contents}/MacOS COMPONENT macos-bundle ${bundle_extra})
endforeach()
if(NOT APPLE)
  velto_install_program(veltovpn-helper veltovpn-helper ${contents}/Library/LaunchServices
    COMPONENT macos-bundle ${bundle_extra})
endif()
install(FILES ${icon_files} DESTINATION ${contents}/Resources/menubar
  COMPONENT macos-bundle ${bundle_extra})
if(APPLE)
  # The helper and the property lists are installed by cmake/macos-bundle.cmake,
  # which writes the lists and fixes the helper's label (its name in the bundle).
  velto_install_program(veltovpn-standin veltoVpn-bin veltoVpn.app/Contents/MacOS
    COMPONENT standin EXCLUDE_FROM_ALL)
  return()
endif()

# ---- Linux (FHS) ------------------------------------------------------------------
foreach(program VeltoVpnLauncher veltovpn-menubar veltovpn-helper)
  velto_install_program(${program} ${program} ${VELTOVPN_INSTALL_PROGRAM_DIR} COMPONENT linux)
endforeach()
velto_install_program(veltovpn-standin veltoVpn-bin ${VELTOVPN_INSTALL_PROGRAM_DIR}
  COMPONENT standin EXCLUDE_FROM_ALL)
install(FILES ${icon_files} DESTINATION ${VELTOVPN_INSTALL_ICON_DIR} COMPONENT linux)
install(FILES ${symbolic_icon_files} DESTINATION share/icons/hicolor/scalable/status COMPONENT linux)
install(FILES veltovpn.svg DESTINATION share/icons/hicolor/scalable/apps COMPONENT linux)
configure_file(veltovpn.metainfo.xml.in
  ${CMAKE_CURRENT_BINARY_DIR}/${VELTOVPN_BUNDLE_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${VELTOVPN_BUNDLE_ID}.metainfo.xml
  DESTINATION share/metainfo COMPONENT linux)
install(FILES man/veltovpn.1 man/veltovpn-menubar.1 DESTINATION share/man/man1 COMPONENT linux)
configure_file(man/veltovpn-helper.8.in ${CMAKE_CURRENT_BINARY_DIR}/man/veltovpn-helper.8 @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/veltovpn-helper.8 DESTINATION share/man/man8
  COMPONENT linux)

# The files that name install paths are written at install time, so that
# `cmake --install --prefix` gets them right.
install(CODE "
  set(VELTO_TEMPLATES \"${CMAKE_CURRENT_SOURCE_DIR}\")
  set(VELTO_STAGING \"${CMAKE_CURRENT_BINARY_DIR}/install-staging\")
  set(VELTO_PROGRAM_DIR \"${VELTOVPN_INSTALL_PROGRAM_DIR}\")
  set(VELTOVPN_HELPER_CLIENT_GROUP \"${VELTOVPN_HELPER_CLIENT_GROUP}\")
  set(VELTO_UNIT_DIR \"${VELTOVPN_SYSTEMD_UNIT_DIR}\")
  include(\"${CMAKE_CURRENT_SOURCE_DIR}/install_linux_files.cmake\")
" COMPONENT linux)
