# Process tests of veltovpn-menubar: the real program against a bridge played by
# the test, without a display; the real tray on a headless X server with a
# private session bus; and the same in real desktops, looked at in screenshots
# and clicked with the pointer.

velto_add_unit_tests(menubar_process_tests
  SOURCES menubar_process_test.cc
  LIBRARIES velto_common
  LABELS process TIMEOUT 120)
if(VELTOVPN_MENUBAR_PLATFORM STREQUAL "none")
  set(menubar_built_with_tray false)
else()
  set(menubar_built_with_tray true)
endif()
target_compile_definitions(menubar_process_tests PRIVATE
  MENUBAR_BINARY="$<TARGET_FILE:veltovpn-menubar>"
  MENUBAR_BUILT_WITH_TRAY=${menubar_built_with_tray})
add_dependencies(menubar_process_tests veltovpn-menubar)

# The headless display that the tray tests and the demo run on admits only
# holders of its cookie: another user is refused.
velto_add_test(NAME tray_probe.display_access
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/display_access_test.py
  LABELS process display root TIMEOUT 60 LOCKS display SKIP_RETURN_CODE 77)

# The real tray: only where the agent is built with it.
if(VELTOVPN_MENUBAR_PLATFORM STREQUAL "gtk")
  set(tray_leaks "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan_fontconfig.supp")
  velto_add_test(NAME menubar.tray
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/menubar_tray_test.py
            $<TARGET_FILE:veltovpn-menubar> TrayTest
    LABELS process display TIMEOUT 120 LOCKS display ENVIRONMENT ${tray_leaks})

  # Real desktops with the agent as the bundle holds it, so that it finds the
  # icons it ships with. Under X11: xfce4-panel's status tray dark and light,
  # GNOME Shell with the AppIndicator extension, and Plasma's panel in Breeze
  # light and dark. In Wayland sessions, the agent a Wayland client with no X
  # server in its sight: GNOME Shell as the compositor with the AppIndicator
  # extension; sway with waybar's tray in waybar's default style, which draws
  # icons as they are, and on a dark and a light bar; Plasma 6 (KWin and its
  # panel) in Breeze light and dark. Each is skipped where it is not
  # installed; as root they run as an ordinary user. Their screenshots go to
  # desktops/ in the build tree.
  foreach(test desktop.XfceDark desktop.XfceLight desktop.Gnome desktop.Plasma
               wayland.Gnome wayland.Waybar wayland.WaybarDark wayland.WaybarLight
               wayland.PlasmaLight wayland.PlasmaDark)
    # desktop.Gnome runs GnomeTest, wayland.Gnome WaylandGnomeTest.
    string(REGEX REPLACE "^desktop\\.(.*)$" "\\1Test" class ${test})
    string(REGEX REPLACE "^wayland\\.(.*)$" "Wayland\\1Test" class ${class})
    velto_add_test(NAME menubar.${test}
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/menubar_tray_test.py
              ${VELTOVPN_BUNDLE_DIR}/Contents/MacOS/veltovpn-menubar
              ${class}.test_icon_stands_out_in_both_states
      LABELS process display TIMEOUT 180 LOCKS display SKIP_REGULAR_EXPRESSION "skipped '"
      ENVIRONMENT TRAY_TEST_OUTPUT=${CMAKE_BINARY_DIR}/desktops ${tray_leaks})
  endforeach()
endif()
