# Installing and packaging the Linux programs: `cmake --install` lays them out under the
# prefix, and CPack (cpack -G DEB in the build tree) makes a .deb of the same.
include(GNUInstallDirs)
set(QUILLET_LINUX_RESOURCES ${CMAKE_SOURCE_DIR}/resources/linux)

install(TARGETS Quillet SetQuillet handheld-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The dialog plugin: Quillet looks for it in ../lib/quillet beside its own folder.
install(TARGETS quillet-dialog LIBRARY DESTINATION lib/quillet)

# Man pages, compressed as Debian has them.
set(QUILLET_MAN_PAGES)
foreach(page Quillet.1 SetQuillet.1)
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${QUILLET_LINUX_RESOURCES}/${page} > ${compressed}
    DEPENDS ${QUILLET_LINUX_RESOURCES}/${page}
    VERBATIM)
  list(APPEND QUILLET_MAN_PAGES ${compressed})
endforeach()
add_custom_target(quillet-man-pages ALL DEPENDS ${QUILLET_MAN_PAGES})
install(FILES ${QUILLET_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${QUILLET_LINUX_RESOURCES}/quillet.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${QUILLET_LINUX_RESOURCES}/quillet.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${QUILLET_LINUX_RESOURCES}/60-quillet-palm.rules
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillet/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "moves one text per run between the clipboard and a Palm handheld")
set(CPACK_PACKAGE_DESCRIPTION
  "Quillet moves one plain text per run between the desktop's clipboard and a Palm\n\
handheld, over a serial port or the handheld's USB link. SetQuillet stores the port.")
set(CPACK_PACKAGE_CONTACT "Quillet developers <quillet@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)
# Dependencies from the binaries where dpkg-shlibdeps is at hand, else Debian 12's names.
find_program(QUILLET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUILLET_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libx11-6, libasound2, libfltk1.3")
endif()
include(CPack)
