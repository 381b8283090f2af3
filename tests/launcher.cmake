# Process tests of VeltoVpnLauncher: the real binary in a temporary bundle.
foreach(case handoff relative-symlink through-path runtime-is-a-file chdir-fails
             no-main-binary update-mode)
  add_test(NAME launcher.process.${case}
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/launcher_process.sh
                   $<TARGET_FILE:VeltoVpnLauncher> ${case})
  set_tests_properties(launcher.process.${case} PROPERTIES TIMEOUT 60 LABELS process)
endforeach()
