# The application bundle of a macOS build: its options and property lists,
# written when this file is included (by the top-level CMakeLists.txt, before
# any folder), and two functions for the folders that define the targets:
#   velto_embed_helper_plists(<target>)  the helper's own property lists, in its
#                                        __TEXT segment (helper/)
#   velto_add_macos_bundle(ICON_DIR <dir>)  the targets veltovpn-app, which lays
#                                        out <build>/veltoVpn.app
#                                        (cmake/assemble-macos-app.cmake), and
#                                        veltovpn-sign-app (packaging/)
#
# The helper is registered in one of two ways, and the bundle carries both:
#   macOS 13+  SMAppService: Contents/Library/LaunchDaemons/<label>.plist, whose
#              BundleProgram names the helper inside the bundle;
#   macOS 11-12  SMJobBless: SMPrivilegedExecutables in the Info.plist, and the
#              helper at Contents/Library/LaunchServices/<label> with its own
#              Info.plist (SMAuthorizedClients) and launchd job embedded in its
#              __TEXT segment; the job runs it from /Library/PrivilegedHelperTools.

set(VELTOVPN_HELPER_LABEL "${VELTOVPN_BUNDLE_ID}.helper" CACHE STRING
    "launchd label and code-signing identifier of the helper daemon")
set(VELTOVPN_HELPER_SIGNING_REQUIREMENT
    "anchor apple generic and identifier \"${VELTOVPN_HELPER_LABEL}\"" CACHE STRING
    "Code-signing requirement of the helper itself (SMPrivilegedExecutables)")
set(VELTOVPN_CODESIGN_IDENTITY "" CACHE STRING
    "codesign identity (Developer ID Application: ...) for the target veltovpn-sign-app")
set(VELTOVPN_BUILD_NUMBER "" CACHE STRING
    "CFBundleVersion: up to three integers separated by dots, rising with every release \
(Sparkle compares it); empty takes the numeric part of the version")
set(VELTOVPN_SPARKLE_FEED_URL "" CACHE STRING
    "Sparkle's SUFeedURL in the application's Info.plist; empty leaves the key out")
set(VELTOVPN_SPARKLE_PUBLIC_ED_KEY "" CACHE STRING
    "Sparkle's SUPublicEDKey in the application's Info.plist; empty leaves the key out")

set(VELTOVPN_PLIST_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(_velto_macos_dir "${CMAKE_BINARY_DIR}/macos")
set(VELTOVPN_PLIST_OUTPUT_DIR "${_velto_macos_dir}")
include("${PROJECT_SOURCE_DIR}/cmake/macos-plists.cmake")

function(velto_embed_helper_plists target)
  target_link_options(${target} PRIVATE
    "LINKER:-sectcreate,__TEXT,__info_plist,${_velto_macos_dir}/helper-Info.plist"
    "LINKER:-sectcreate,__TEXT,__launchd_plist,${_velto_macos_dir}/helper-launchd.plist")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
    "${_velto_macos_dir}/helper-Info.plist" "${_velto_macos_dir}/helper-launchd.plist")
endfunction()

# Only a real framework ships: the cross build links against a stub that has
# headers and a .tbd but no binary.
set(_velto_sparkle "${VELTOVPN_MACOS_FRAMEWORKS_DIR}/Sparkle.framework")
set(_velto_ship_sparkle "")
if(NOT CMAKE_CROSSCOMPILING AND EXISTS "${_velto_sparkle}/Versions/B/Sparkle")
  set(_velto_ship_sparkle "${_velto_sparkle}")
endif()

# REQUIRES: the program targets exist; ICON_DIR holds the menu-bar icons that the
# target veltovpn-menubar-icons draws.
function(velto_add_macos_bundle)
  cmake_parse_arguments(ARG "" "ICON_DIR" "" ${ARGN})
  velto_install_program(veltovpn-helper ${VELTOVPN_HELPER_LABEL}
    veltoVpn.app/Contents/Library/LaunchServices COMPONENT macos-bundle)
  install(FILES ${_velto_macos_dir}/Info.plist
    DESTINATION veltoVpn.app/Contents COMPONENT macos-bundle)
  install(FILES ${_velto_macos_dir}/${VELTOVPN_HELPER_LABEL}.plist
    DESTINATION veltoVpn.app/Contents/Library/LaunchDaemons COMPONENT macos-bundle)
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
      -DAPP=${VELTOVPN_BUNDLE_DIR}
      -DBIN_DIR=$<TARGET_FILE_DIR:VeltoVpnLauncher>
      -DINFO_PLIST=${_velto_macos_dir}/Info.plist
      -DLAUNCHD_PLIST=${_velto_macos_dir}/${VELTOVPN_HELPER_LABEL}.plist
      -DHELPER_NAME=${VELTOVPN_HELPER_LABEL}
      -DICON_DIR=${ARG_ICON_DIR}
      -DSPARKLE_FRAMEWORK=${_velto_ship_sparkle}
      -P ${PROJECT_SOURCE_DIR}/cmake/assemble-macos-app.cmake
    DEPENDS VeltoVpnLauncher veltovpn-menubar veltovpn-helper
    COMMENT "Laying out veltoVpn.app"
    VERBATIM
  )
  add_dependencies(veltovpn-app veltovpn-menubar-icons)

  # Signing is a step of its own: the main application goes into the bundle between
  # the layout and the signature. Each client executable gets its identifier from
  # VELTOVPN_HELPER_CLIENT_IDENTIFIERS, the list the client requirement was checked
  # against.
  add_custom_target(veltovpn-sign-app
    COMMAND ${CMAKE_COMMAND}
      -DAPP=${VELTOVPN_BUNDLE_DIR}
      -DIDENTITY=${VELTOVPN_CODESIGN_IDENTITY}
      -DHELPER_NAME=${VELTOVPN_HELPER_LABEL}
      "-DVELTOVPN_HELPER_CLIENT_IDENTIFIERS=${VELTOVPN_HELPER_CLIENT_IDENTIFIERS}"
      -P ${PROJECT_SOURCE_DIR}/cmake/sign-macos-app.cmake
    COMMENT "Signing veltoVpn.app"
    VERBATIM
  )
endfunction()
