# Lays out the application bundle from built programs; run in script mode:
#
#   cmake -DAPP=<dir>/veltoVpn.app -DBIN_DIR=<dir holding the three programs>
#         -DINFO_PLIST=<Info.plist> -DLAUNCHD_PLIST=<label>.plist [-DHELPER_NAME=<label>]
#         [-DICON_DIR=<folder of menubar-*.png>] [-DSPARKLE_FRAMEWORK=<Sparkle.framework>]
#         -P assemble-macos-app.cmake
#
# Contents/MacOS            VeltoVpnLauncher (CFBundleExecutable), veltovpn-menubar;
#                           the main application (veltoVpn-bin and its extensions)
#                           is added by whoever packages it
# Contents/Resources/menubar  the agent's icons
# Contents/Library/LaunchServices/<HELPER_NAME>, Contents/Library/LaunchDaemons/
#                           the helper daemon, named by its launchd label as
#                           SMJobBless requires, and its job for SMAppService
# Contents/Frameworks/Sparkle.framework  only when a real framework is given: a
#                           link-only stub (headers and a .tbd) must never ship
cmake_minimum_required(VERSION 3.25)

foreach(required APP BIN_DIR INFO_PLIST LAUNCHD_PLIST)
  if(NOT ${required})
    message(FATAL_ERROR "assemble-macos-app: ${required} not given")
  endif()
endforeach()

file(REMOVE_RECURSE "${APP}")
set(contents "${APP}/Contents")
file(MAKE_DIRECTORY "${contents}/MacOS" "${contents}/Resources/menubar"
     "${contents}/Library/LaunchServices" "${contents}/Library/LaunchDaemons")

file(COPY_FILE "${INFO_PLIST}" "${contents}/Info.plist")
file(WRITE "${contents}/PkgInfo" "APPL????")
foreach(program VeltoVpnLauncher veltovpn-menubar)
  file(COPY "${BIN_DIR}/${program}" DESTINATION "${contents}/MacOS" USE_SOURCE_PERMISSIONS)
endforeach()
if(NOT HELPER_NAME)
  set(HELPER_NAME veltovpn-helper)
endif()
file(COPY_FILE "${BIN_DIR}/veltovpn-helper" "${contents}/Library/LaunchServices/${HELPER_NAME}")
file(CHMOD "${contents}/Library/LaunchServices/${HELPER_NAME}"
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(COPY "${LAUNCHD_PLIST}" DESTINATION "${contents}/Library/LaunchDaemons")

if(ICON_DIR AND IS_DIRECTORY "${ICON_DIR}")
  file(GLOB icons "${ICON_DIR}/menubar-*.png")
  if(icons)
    file(COPY ${icons} DESTINATION "${contents}/Resources/menubar")
  endif()
endif()

if(SPARKLE_FRAMEWORK)
  # The framework's Versions/Current and top-level links must survive the copy.
  find_program(DITTO ditto)
  if(DITTO)
    execute_process(COMMAND "${DITTO}" "${SPARKLE_FRAMEWORK}" "${contents}/Frameworks/Sparkle.framework"
                    COMMAND_ERROR_IS_FATAL ANY)
  else()
    file(MAKE_DIRECTORY "${contents}/Frameworks")
    execute_process(COMMAND cp -R -P "${SPARKLE_FRAMEWORK}" "${contents}/Frameworks/"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
else()
  message(STATUS "assemble-macos-app: Sparkle.framework not copied (no shippable framework given); "
                 "the bundle needs Contents/Frameworks/Sparkle.framework before it can run")
endif()
message(STATUS "assemble-macos-app: ${APP}")
