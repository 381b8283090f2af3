# The stand-in main application: a development tool that plays veltoVpn-bin for
# the launcher, the menu-bar agent and the helper daemon. Never shipped.
find_package(nlohmann_json REQUIRED)

add_library(velto_standin STATIC
  standin_engine.cc
  standin_bridge_posix.cc
  standin_helper.cc
  standin_app_posix.cc
)
target_link_libraries(velto_standin PUBLIC velto_tools velto_common nlohmann_json::nlohmann_json)

add_executable(veltovpn-standin standin_main.cc)
target_link_libraries(veltovpn-standin PRIVATE velto_standin)

velto_add_unit_tests(standin_tests
  SOURCES standin_engine_test.cc
  LIBRARIES velto_standin
  LABELS unit
)
