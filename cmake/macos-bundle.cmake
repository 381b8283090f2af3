# The application bundle of a macOS build: generated property lists and the target
# veltovpn-app, which lays out <build>/veltoVpn.app (cmake/assemble-macos-app.cmake).
# Run at the end of the top-level CMakeLists.txt, once every program target exists.

set(VELTOVPN_HELPER_LABEL "${VELTOVPN_BUNDLE_ID}.helper" CACHE STRING
    "launchd label of the helper daemon")
set(VELTOVPN_HELPER_INSTALL_PATH "/Library/PrivilegedHelperTools/veltovpn-helper" CACHE STRING
    "Where the installer puts the helper daemon's executable")
set(VELTOVPN_SPARKLE_FEED_URL "" CACHE STRING
    "Sparkle's SUFeedURL in the application's Info.plist; empty leaves the key out")
set(VELTOVPN_SPARKLE_PUBLIC_ED_KEY "" CACHE STRING
    "Sparkle's SUPublicEDKey in the application's Info.plist; empty leaves the key out")

set(VELTOVPN_SPARKLE_PLIST_KEYS "")
foreach(pair "SUFeedURL=VELTOVPN_SPARKLE_FEED_URL" "SUPublicEDKey=VELTOVPN_SPARKLE_PUBLIC_ED_KEY")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 key)
  list(GET pair 1 variable)
  if(NOT "${${variable}}" STREQUAL "")
    string(APPEND VELTOVPN_SPARKLE_PLIST_KEYS
           "\t<key>${key}</key>\n\t<string>${${variable}}</string>\n")
  endif()
endforeach()

set(_velto_macos_dir "${CMAKE_BINARY_DIR}/macos")
configure_file("${PROJECT_SOURCE_DIR}/launcher/Info.plist.in" "${_velto_macos_dir}/Info.plist" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/helper/launchd.plist.in"
               "${_velto_macos_dir}/${VELTOVPN_HELPER_LABEL}.plist" @ONLY)

# Only a real framework ships: the cross build links against a stub that has
# headers and a .tbd but no binary.
set(_velto_sparkle "${VELTOVPN_MACOS_FRAMEWORKS_DIR}/Sparkle.framework")
set(_velto_ship_sparkle "")
if(NOT CMAKE_CROSSCOMPILING AND EXISTS "${_velto_sparkle}/Versions/B/Sparkle")
  set(_velto_ship_sparkle "${_velto_sparkle}")
endif()

if(_velto_ship_sparkle)
  # install(DIRECTORY) keeps the framework's symbolic links.
  install(DIRECTORY "${_velto_ship_sparkle}" DESTINATION veltoVpn.app/Contents/Frameworks
          COMPONENT macos-bundle USE_SOURCE_PERMISSIONS)
endif()

foreach(program VeltoVpnLauncher veltovpn-menubar veltovpn-helper)
  if(NOT TARGET ${program})
    message(STATUS "veltovpn-app: no target ${program} yet, so no bundle target")
    return()
  endif()
endforeach()

add_custom_target(veltovpn-app
  COMMAND ${CMAKE_COMMAND}
    -DAPP=${CMAKE_BINARY_DIR}/veltoVpn.app
    -DBIN_DIR=$<TARGET_FILE_DIR:VeltoVpnLauncher>
    -DINFO_PLIST=${_velto_macos_dir}/Info.plist
    -DLAUNCHD_PLIST=${_velto_macos_dir}/${VELTOVPN_HELPER_LABEL}.plist
    -DICON_DIR=${VELTOVPN_MENUBAR_ICON_BUILD_DIR}
    -DSPARKLE_FRAMEWORK=${_velto_ship_sparkle}
    -P ${PROJECT_SOURCE_DIR}/cmake/assemble-macos-app.cmake
  DEPENDS VeltoVpnLauncher veltovpn-menubar veltovpn-helper
  COMMENT "Laying out veltoVpn.app"
  VERBATIM
)
