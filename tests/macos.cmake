# The macOS build's host-independent parts: check-macos-build's skip path and
# argument checks, and the bundle layout script.
add_test(NAME macos.build_scripts
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/macos_build_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(macos.build_scripts PROPERTIES LABELS macos TIMEOUT 60)
