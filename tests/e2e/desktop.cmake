# The desktop half of the Linux port: the text translation on its own (label unit), and
# the clipboard, the dialogs and the tone end to end under Xvfb (label e2e).
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(quillet_desktop_text_tests
  ${CMAKE_SOURCE_DIR}/tests/desktop/desktoptext_test.cpp
  ${CMAKE_SOURCE_DIR}/platform/posix/desktop/text/codepage.cpp
  ${CMAKE_SOURCE_DIR}/platform/posix/desktop/text/cp1252.cpp
  ${CMAKE_SOURCE_DIR}/platform/posix/desktop/text/desktoptext.cpp)
target_include_directories(quillet_desktop_text_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform/posix)
target_link_libraries(quillet_desktop_text_tests PRIVATE GTest::gtest_main)
gtest_discover_tests(quillet_desktop_text_tests PROPERTIES LABELS unit)

# Calls the desktop functions one at a time, for the checks below.
add_executable(desktop-probe ${CMAKE_CURRENT_LIST_DIR}/desktop-probe.cpp)
target_link_libraries(desktop-probe PRIVATE
  "$<LINK_GROUP:RESCAN,quillet_posix,quillet_common>")
target_include_directories(desktop-probe PRIVATE ${CMAKE_SOURCE_DIR}/platform
  ${CMAKE_BINARY_DIR}/generated/wayland)

# Each script starts an X server of its own (Xvfb on a free display), so they may run in
# parallel; xclip, xdotool, sox and script are the other programs. mutter, kwin and weston
# run the clipboard on GNOME's, KDE's and weston's compositors, with wl-clipboard and a
# GTK3 program (gtk-clipboard.py) as well.
foreach(name clipboard dialog tone handoff wayland mutter kwin weston)
  add_test(NAME desktop_${name}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/desktop_${name}_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(desktop_${name} PROPERTIES LABELS e2e TIMEOUT 180)
endforeach()

# The message box on a Wayland-only sway, and a run of them under CPU load on each desktop
# (alone: the load would stretch a neighbour's timed checks).
add_test(NAME desktop_dialog_wayland
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/desktop_dialog_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(desktop_dialog_wayland PROPERTIES LABELS e2e TIMEOUT 180
  ENVIRONMENT DIALOG_SESSION=wayland)
foreach(session x11 wayland)
  foreach(count 20 200)
    add_test(NAME desktop_dialog_stress_${session}_${count}
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/desktop_dialog_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(desktop_dialog_stress_${session}_${count} PROPERTIES LABELS e2e
      TIMEOUT 900 RUN_SERIAL TRUE ENVIRONMENT "DIALOG_SESSION=${session};DIALOG_STRESS=${count}")
  endforeach()
  # --stress: 20 boxes under load already show each one waits for its answer and ends.
  set_tests_properties(desktop_dialog_stress_${session}_200 PROPERTIES LABELS stress)
endforeach()

# Their time goes to the compositor: the sanitizer run leaves them to --stress (label
# compositor). --stress: desktop_clipboard, _handoff and _wayland run our X11 and Wayland
# clipboard code under the sanitizers.
set_tests_properties(desktop_mutter desktop_kwin desktop_weston PROPERTIES LABELS "e2e;compositor")

# The Wayland test waits about 20 s by design (stalled sources and readers, each given
# its deadline) and runs a signal in each phase of a run (about 40 s), and a loaded
# machine stretches the rest.
set_tests_properties(desktop_wayland PROPERTIES TIMEOUT 300 COST 80)

# Twenty runs from the handheld, each with a real tone and a paste 1 s after it: about a
# minute on an idle machine.
set_tests_properties(desktop_mutter PROPERTIES TIMEOUT 300 COST 60)
