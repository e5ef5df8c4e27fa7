# Installing and packaging the Linux programs: `cmake --install` lays them out under the
# prefix, and CPack (cpack -G DEB in the build tree) makes a .deb of the same; the source
# tarball comes from cpack --config CPackSourceConfig.cmake.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/debian-docs.cmake)
set(QUILLET_LINUX_RESOURCES ${CMAKE_SOURCE_DIR}/resources/linux)
set(QUILLET_MAINTAINER "The Quillet developers <quillet@maintainer.invalid>" CACHE STRING
  "Maintainer of the .deb and signer of its changelog: whoever publishes the package")
set(QUILLET_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quillet)

# handheld-sim beside the programs: trying a setup without a handheld is its purpose.
install(TARGETS Quillet SetQuillet handheld-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The dialog plugin: Quillet looks for it in ../lib/quillet beside its own folder.
install(TARGETS quillet-dialog LIBRARY DESTINATION lib/quillet)
# The compiler's and the C runtime's version strings (.comment) serve no one at run time:
# they go, as dh_strip removes them.
install(CODE "
  foreach(file ${CMAKE_INSTALL_BINDIR}/Quillet ${CMAKE_INSTALL_BINDIR}/SetQuillet
      ${CMAKE_INSTALL_BINDIR}/handheld-sim lib/quillet/quillet-dialog.so)
    execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()")

# Copyright and changelog as Debian wants them, from LICENSE and CHANGELOG.md.
set(QUILLET_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/CHANGELOG.md)
quillet_debian_copyright(${CMAKE_SOURCE_DIR}/LICENSE ${QUILLET_DEBIAN_DIR}/copyright)
quillet_debian_changelog(${CMAKE_SOURCE_DIR}/CHANGELOG.md ${QUILLET_DEBIAN_DIR}/changelog)

# Man pages and the changelog, compressed as Debian has them.
set(QUILLET_COMPRESSED)
foreach(source ${QUILLET_LINUX_RESOURCES}/Quillet.1 ${QUILLET_LINUX_RESOURCES}/SetQuillet.1
    ${QUILLET_LINUX_RESOURCES}/handheld-sim.1 ${QUILLET_DEBIAN_DIR}/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${QUILLET_DEBIAN_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILLET_DEBIAN_DIR}/gz
    COMMAND gzip -9nc ${source} > ${compressed}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND QUILLET_COMPRESSED ${compressed})
endforeach()
add_custom_target(quillet-compressed-docs ALL DEPENDS ${QUILLET_COMPRESSED})
list(POP_BACK QUILLET_COMPRESSED QUILLET_CHANGELOG_GZ)
install(FILES ${QUILLET_COMPRESSED} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUILLET_DEBIAN_DIR}/copyright ${QUILLET_CHANGELOG_GZ} DESTINATION ${QUILLET_DOC_DIR})

install(FILES ${QUILLET_LINUX_RESOURCES}/quillet.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${QUILLET_LINUX_RESOURCES}/quillet.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${QUILLET_LINUX_RESOURCES}/60-quillet-palm.rules
  DESTINATION ${QUILLET_DOC_DIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "moves one text per run between the clipboard and a Palm handheld")
set(CPACK_PACKAGE_DESCRIPTION
  "Quillet moves one plain text per run between the desktop's clipboard and a\n\
Palm handheld, over a serial port or the handheld's USB link. SetQuillet\n\
stores the port; handheld-sim simulates a handheld to try a setup without one.")
set(CPACK_PACKAGE_CONTACT "${QUILLET_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)
# Depends from the staged binaries where dpkg-shlibdeps is at hand, else Debian 12's names.
# The tone helper loads libasound at run time (libasound.so.2), so no binary names it:
# that one is added by hand.
set(CPACK_QUILLET_LOADED_DEPENDS "libasound2 (>= 1.0.16)")
find_program(QUILLET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUILLET_DPKG_SHLIBDEPS)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-depends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libx11-6, libwayland-client0, libgtk-3-0, libglib2.0-0, ${CPACK_QUILLET_LOADED_DEPENDS}")
endif()

# The source tarball: the tree as git has it, without build trees, git's own files and
# what tests or editors leave behind.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME quillet-${PROJECT_VERSION})
# Written into CPackSourceConfig.cmake as they are, so the patterns use [.] for a dot: a
# backslash would not survive the trip.
string(REGEX REPLACE "([.+*?()|$])" "[\\1]" QUILLET_SOURCE_REGEX ${CMAKE_SOURCE_DIR})
set(CPACK_SOURCE_IGNORE_FILES
  "^${QUILLET_SOURCE_REGEX}/build/" "^${QUILLET_SOURCE_REGEX}/build-[^/]*/"
  "/[.]git$" "/[.]git/" "/__pycache__/" "[.]pyc$"
  "/(crash|leak|timeout|oom)-[^/]*$" "~$" "[.]swp$")
include(CPack)
