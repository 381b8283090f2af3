# The macOS build's host-independent parts: check-macos-build's skip path and
# argument checks, and the bundle layout script.
velto_add_test(NAME macos.build_scripts
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/macos_build_test.sh ${PROJECT_SOURCE_DIR}
  LABELS macos)
