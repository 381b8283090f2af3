# End-to-end tests of the programs together, each a bash script under system/
# that starts the real processes. A test whose programs are not built yet is not
# registered; one that cannot run here (no root, no display tools) exits 77 and
# shows as skipped with its reason.
set(system_tests_dir ${CMAKE_CURRENT_SOURCE_DIR}/system)

# velto_add_system_test(<name> [SCRIPT script] [LABELS extra...] [LOCKS lock...] [TIMEOUT s]
#                       [PROCESSORS n] ARGS arg...)
# runs system/<script>.sh, by default system/<name>.sh.
function(velto_add_system_test name)
  cmake_parse_arguments(ARG "" "SCRIPT;TIMEOUT;PROCESSORS" "LABELS;LOCKS;ARGS" ${ARGN})
  if(NOT ARG_SCRIPT)
    set(ARG_SCRIPT ${name})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 90)
  endif()
  set(locks)
  if(ARG_LOCKS)
    set(locks LOCKS ${ARG_LOCKS})
  endif()
  set(processors)
  if(ARG_PROCESSORS)
    set(processors PROCESSORS ${ARG_PROCESSORS})
  endif()
  velto_add_test(NAME system.${name} COMMAND bash ${system_tests_dir}/${ARG_SCRIPT}.sh ${ARG_ARGS}
    LABELS system ${ARG_LABELS} TIMEOUT ${ARG_TIMEOUT} SKIP_RETURN_CODE 77 ${locks} ${processors})
endfunction()

set(installed_programs)
foreach(program VeltoVpnLauncher veltovpn-menubar veltovpn-helper)
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
  endif()
endforeach()
velto_add_system_test(install TIMEOUT 120 ARGS ${CMAKE_BINARY_DIR} ${installed_programs})

# The package script's refusals come before any build: cheap enough for every preset.
velto_add_system_test(package_output LABELS root ARGS ${PROJECT_SOURCE_DIR})

# The Debian packages, built once (system.packages) for the tests that install
# them: on this machine (system.package) and in a booted Debian 12 container
# (system.container.debian12). Only the ci preset builds them.
# system.container.debian13 boots Debian 13 with the packages that
# `scripts/release-lane debian13` built in build/debian13, skipped until then. The
# containers' roots are kept in /var/cache/veltovpn-ci between runs.
if(VELTOVPN_PACKAGE_TEST)
  set(package_dir ${CMAKE_BINARY_DIR}/packages)
  velto_add_test(NAME system.packages
    COMMAND bash -c [[rm -rf "$1" && exec "$2" "$1"]] _ ${package_dir} ${PROJECT_SOURCE_DIR}/scripts/package
    LABELS system package TIMEOUT 1800 PROCESSORS 2)
  set_tests_properties(system.packages PROPERTIES FIXTURES_SETUP veltovpn-packages)
  velto_add_system_test(package LABELS package root TIMEOUT 300 LOCKS helper-socket
    ARGS ${PROJECT_SOURCE_DIR} ${VELTOVPN_VERSION_STRING} ${package_dir})
  velto_add_system_test(container.debian12 SCRIPT container LABELS package root TIMEOUT 900
    ARGS bookworm ${CMAKE_BINARY_DIR} ${package_dir})
  set_tests_properties(system.package system.container.debian12 PROPERTIES
    FIXTURES_REQUIRED veltovpn-packages)
  set(debian13_build ${PROJECT_SOURCE_DIR}/build/debian13/src/build/ci)
  velto_add_system_test(container.debian13 SCRIPT container LABELS package root TIMEOUT 900
    ARGS trixie ${debian13_build} ${debian13_build}/packages)
endif()

# The README's main job, exactly as a newcomer runs it, against this very build
# wherever its folder is: every menu item chosen through the real tray, the
# programs' lives checked.
if(TARGET VeltoVpnLauncher AND TARGET veltovpn-menubar)
  velto_add_test(NAME system.demo COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo
    LABELS system display TIMEOUT 180 LOCKS helper-socket display
    ENVIRONMENT VELTOVPN_DEMO_BUILD_DIR=${CMAKE_BINARY_DIR})
  # Beside a helper that serves but is busy: the demo uses it and leaves its socket.
  velto_add_system_test(demo_busy_helper LABELS root TIMEOUT 180 LOCKS helper-socket
    ARGS ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} $<TARGET_FILE:veltovpn-helper>)
endif()

# A real WireGuard tunnel built by the stand-in through the helper, as root,
# all of it inside network namespaces of its own.
if(TARGET veltovpn-helper-testing AND TARGET veltovpn-standin)
  velto_add_system_test(tunnel LABELS root TIMEOUT 120
    ARGS $<TARGET_FILE:veltovpn-helper-testing> $<TARGET_FILE:veltovpn-standin>)
endif()
