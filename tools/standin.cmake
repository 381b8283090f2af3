# The stand-in main application: a development tool that plays veltoVpn-bin for
# the launcher, the menu-bar agent and the helper daemon. Never shipped.
find_package(nlohmann_json REQUIRED)

# The example tunnel scripts go into the stand-in as text, the way the main
# application carries its own scripts to the helper: every script in tunnel/,
# so a new step needs its script there and its name in standin_tunnel.cc only.
file(GLOB tunnel_script_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tunnel/*.sh)
set(tunnel_scripts_header ${CMAKE_CURRENT_BINARY_DIR}/generated/tools/tunnel_scripts.h)
add_custom_command(
  OUTPUT ${tunnel_scripts_header}
  COMMAND ${CMAKE_COMMAND} "-DFILES=${tunnel_script_files}" -DOUTPUT=${tunnel_scripts_header}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/embed_scripts.cmake
  DEPENDS ${tunnel_script_files} ${CMAKE_CURRENT_SOURCE_DIR}/embed_scripts.cmake
  COMMENT "Embedding the example tunnel scripts"
  VERBATIM
)

add_library(velto_standin STATIC
  standin_engine.cc
  standin_tunnel.cc
  standin_bridge_posix.cc
  standin_helper.cc
  standin_app_posix.cc
  ${tunnel_scripts_header}
)
target_include_directories(velto_standin PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_link_libraries(velto_standin PUBLIC velto_tools velto_common nlohmann_json::nlohmann_json)

add_executable(veltovpn-standin standin_main.cc)
target_link_libraries(veltovpn-standin PRIVATE velto_standin)

velto_add_unit_tests(standin_tests
  SOURCES standin_app_test.cc standin_engine_test.cc standin_tunnel_test.cc
  LIBRARIES velto_standin
  LABELS unit
)
