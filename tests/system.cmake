# End-to-end tests of the programs together, each a bash script under system/
# that starts the real processes. A test whose programs are not built yet is not
# registered; one that cannot run here (no root, no display tools) exits 77 and
# shows as skipped with its reason.
set(system_tests_dir ${CMAKE_CURRENT_SOURCE_DIR}/system)

# velto_add_system_test(<name> [LOCKS lock...] [TIMEOUT s] ARGS arg...)
function(velto_add_system_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LOCKS;ARGS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 90)
  endif()
  add_test(NAME system.${name} COMMAND bash ${system_tests_dir}/${name}.sh ${ARG_ARGS})
  set_tests_properties(system.${name} PROPERTIES
    LABELS system TIMEOUT ${ARG_TIMEOUT} SKIP_RETURN_CODE 77)
  if(ARG_LOCKS)
    set_tests_properties(system.${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()

set(installed_programs)
foreach(program VeltoVpnLauncher veltovpn-menubar veltovpn-helper)
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
  endif()
endforeach()
velto_add_system_test(install TIMEOUT 120 ARGS ${CMAKE_BINARY_DIR} ${installed_programs})

get_property(system_menubar_platform GLOBAL PROPERTY VELTOVPN_MENUBAR_PLATFORM)
if(TARGET VeltoVpnLauncher AND system_menubar_platform STREQUAL "gtk")
  add_test(NAME system.menu_click
           COMMAND /usr/bin/python3 ${system_tests_dir}/menu_click_test.py ${VELTOVPN_BUNDLE_DIR})
  set_tests_properties(system.menu_click PROPERTIES
    LABELS system TIMEOUT 120 RESOURCE_LOCK display)
endif()

# The README's main job, exactly as a newcomer runs it, against this very build.
cmake_path(GET CMAKE_BINARY_DIR FILENAME system_preset)
if(CMAKE_BINARY_DIR STREQUAL "${PROJECT_SOURCE_DIR}/build/${system_preset}"
   AND TARGET VeltoVpnLauncher AND TARGET veltovpn-menubar)
  add_test(NAME system.demo COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo)
  set_tests_properties(system.demo PROPERTIES
    LABELS system TIMEOUT 180 ENVIRONMENT "VELTOVPN_DEMO_PRESET=${system_preset}"
    RESOURCE_LOCK "helper-socket;display")
endif()
