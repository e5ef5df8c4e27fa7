# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the .deb's files are staged: the package's
# Depends, as dpkg-shlibdeps reads them from the staged ELF files. CPack's own shlibdeps
# step would do the same but also call ldconfig from postinst and postrm for the plugin's
# private folder, which ldconfig never reads.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/usr/*")
set(elfFiles)
foreach(file ${staged})
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    list(APPEND elfFiles "${file}")
  endif()
endforeach()

# dpkg-shlibdeps wants to run where a debian/control is.
set(scratch "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(MAKE_DIRECTORY "${scratch}/debian")
file(TOUCH "${scratch}/debian/control")
execute_process(COMMAND dpkg-shlibdeps -O ${elfFiles}
  WORKING_DIRECTORY "${scratch}"
  RESULT_VARIABLE status OUTPUT_VARIABLE substvars ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps failed (${status}):\n${errors}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
# What the programs load at run time rather than link.
if(NOT CPACK_DEBIAN_PACKAGE_DEPENDS MATCHES "libasound2")
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${CPACK_QUILLET_LOADED_DEPENDS}")
endif()
