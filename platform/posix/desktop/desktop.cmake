# The desktop half of the Linux port: the clipboard on Wayland (data-control) or X11, the
# tone through ALSA (loaded at run time), and the message dialog, whose toolkit (GTK 3) sits
# in a plugin loaded only when a message is shown, in a child process of its own.
find_package(X11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
find_program(QUILLET_WAYLAND_SCANNER wayland-scanner REQUIRED)
find_package(ALSA REQUIRED)
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)

file(GLOB QUILLET_DESKTOP_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/x11/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wayland/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tone/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog/messagebox.cpp)
target_sources(quillet_posix PRIVATE ${QUILLET_DESKTOP_SOURCES})

# The data-control protocols' bindings, generated from the XML in wayland/.
set(QUILLET_WAYLAND_GENERATED ${CMAKE_BINARY_DIR}/generated/wayland)
foreach(protocol ext-data-control-v1 wlr-data-control-unstable-v1)
  set(xml ${CMAKE_CURRENT_LIST_DIR}/wayland/${protocol}.xml)
  add_custom_command(
    OUTPUT ${QUILLET_WAYLAND_GENERATED}/${protocol}-client.h
           ${QUILLET_WAYLAND_GENERATED}/${protocol}-protocol.c
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILLET_WAYLAND_GENERATED}
    COMMAND ${QUILLET_WAYLAND_SCANNER} client-header ${xml}
            ${QUILLET_WAYLAND_GENERATED}/${protocol}-client.h
    COMMAND ${QUILLET_WAYLAND_SCANNER} private-code ${xml}
            ${QUILLET_WAYLAND_GENERATED}/${protocol}-protocol.c
    DEPENDS ${xml}
    VERBATIM)
  target_sources(quillet_posix PRIVATE
    ${QUILLET_WAYLAND_GENERATED}/${protocol}-client.h
    ${QUILLET_WAYLAND_GENERATED}/${protocol}-protocol.c)
endforeach()
target_include_directories(quillet_posix PRIVATE ${QUILLET_WAYLAND_GENERATED})

# libasound is loaded by the tone helper (tone/tonehelper.cpp), never linked: only its header is
# needed here, and a package must name libasound2 among its dependencies by hand.
target_include_directories(quillet_posix PRIVATE ${ALSA_INCLUDE_DIRS})
target_link_libraries(quillet_posix PUBLIC X11::X11 PkgConfig::WAYLAND_CLIENT
  ${CMAKE_DL_LIBS} m)
# Programs take only the libraries they use: SetQuillet needs no X11 or Wayland.
target_link_options(quillet_posix INTERFACE "LINKER:--as-needed")

# quillet-dialog.so beside the programs in the build tree, lib/quillet once installed.
add_library(quillet-dialog MODULE ${CMAKE_CURRENT_LIST_DIR}/dialog/gtkdialog.cpp)
set_target_properties(quillet-dialog PROPERTIES
  PREFIX ""
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  CXX_VISIBILITY_PRESET hidden)
# Only GTK and GLib are called, so Debian's default --as-needed would drop libc from the
# plugin; a shared object must name libc itself.
target_link_libraries(quillet-dialog PRIVATE PkgConfig::GTK3
  -Wl,--push-state,--no-as-needed c -Wl,--pop-state)
# Building a program that may show a message builds the plugin too.
add_dependencies(quillet_posix quillet-dialog)
