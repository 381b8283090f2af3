# Process tests of VeltoVpnLauncher: the real binary in a temporary bundle.
foreach(case handoff through-path runtime-is-a-file chdir-fails no-main-binary update-mode)
  velto_add_test(NAME launcher.process.${case}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/launcher_process.sh $<TARGET_FILE:VeltoVpnLauncher> ${case}
    LABELS process)
endforeach()
