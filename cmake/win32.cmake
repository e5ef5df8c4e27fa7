# The Windows programs: Quillet.exe (GUI subsystem, no window) and SetQuillet.exe (console).
# They must be small and self-contained: no exceptions or RTTI to carry, the compiler's
# runtime linked in, msvcrt's own printf, stripped; their only DLLs are the system's and
# the two libraries of the handheld's desktop software, linked by import.
enable_language(RC)

# For size, whatever the build type; msvcrt's printf instead of MinGW's larger one.
set(QUILLET_WIN32_COMPILE_OPTIONS
  -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables
  -include ${CMAKE_SOURCE_DIR}/platform/msvcrt_stdio.h)
# ASLR (relocatable image, kept relocations) and DEP (no code runs from data pages), said
# explicitly: binutils 2.36 and later set both by default, older ones do not.
set(QUILLET_WIN32_LINK_OPTIONS -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
  -Wl,--dynamicbase -Wl,--nxcompat)
foreach(target quillet_common quillet_transfer quillet_config)
  target_compile_options(${target} PRIVATE ${QUILLET_WIN32_COMPILE_OPTIONS})
endforeach()

# Import libraries for HSAPI.dll and USBPort.dll. The .def files name the __stdcall
# functions decorated (Name@bytes) so that the programs' references resolve; -k makes the
# import by the undecorated name that the vendor's DLL exports.
set(QUILLET_PALM_LIBRARIES HSAPI USBPort)
set(QUILLET_PALM_DEF_DIR ${CMAKE_SOURCE_DIR}/platform/palm)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # x86-64 has one calling convention and decorates no name: the programs refer to the
  # plain names, so the 64-bit build (the Wine tests' only) takes the .def files without
  # the @bytes.
  set(QUILLET_PALM_DEF_DIR ${CMAKE_BINARY_DIR}/palm)
  foreach(library ${QUILLET_PALM_LIBRARIES})
    set(decorated ${CMAKE_SOURCE_DIR}/platform/palm/${library}.def)
    file(READ ${decorated} text)
    string(REGEX REPLACE "@[0-9]+" "" text "${text}")
    file(CONFIGURE OUTPUT ${QUILLET_PALM_DEF_DIR}/${library}.def CONTENT "${text}" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${decorated})
  endforeach()
endif()
set(QUILLET_PALM_IMPORT_LIBRARIES)
foreach(library ${QUILLET_PALM_LIBRARIES})
  set(def ${QUILLET_PALM_DEF_DIR}/${library}.def)
  set(importLibrary ${CMAKE_BINARY_DIR}/palm/lib${library}.a)
  add_custom_command(OUTPUT ${importLibrary}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/palm
    COMMAND ${QUILLET_DLLTOOL} -k -d ${def} -l ${importLibrary}
    DEPENDS ${def}
    COMMENT "Import library for ${library}.dll")
  list(APPEND QUILLET_PALM_IMPORT_LIBRARIES ${importLibrary})
endforeach()
add_custom_target(palm_import_libraries DEPENDS ${QUILLET_PALM_IMPORT_LIBRARIES})

function(quillet_windows_program target)
  target_compile_options(${target} PRIVATE ${QUILLET_WIN32_COMPILE_OPTIONS})
  target_link_options(${target} PRIVATE ${QUILLET_WIN32_LINK_OPTIONS})
endfunction()

# WIN32: the GUI subsystem, so that starting Quillet opens no console; it has no window
# of its own, and MinGW's start-up calls main() all the same.
add_executable(Quillet WIN32 transfer/main.cpp resources/quillet.rc)
quillet_windows_program(Quillet)
add_dependencies(Quillet palm_import_libraries)
target_link_libraries(Quillet PRIVATE quillet_transfer ${QUILLET_PALM_IMPORT_LIBRARIES})
set_property(TARGET Quillet APPEND PROPERTY LINK_DEPENDS ${QUILLET_PALM_IMPORT_LIBRARIES})
set_property(SOURCE resources/quillet.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/resources/Quillet.ico)

add_executable(SetQuillet config/main.cpp)
quillet_windows_program(SetQuillet)
target_link_libraries(SetQuillet PRIVATE quillet_config)

# The stand-ins and helpers that the Wine tests of the native build drive; never shipped.
if(QUILLET_BUILD_TESTS)
  add_subdirectory(tests/wine/windows)
  add_subdirectory(tests/contract)
endif()

# The ZIP for Windows users: the two programs, how to place them and the licence, the
# texts with CR LF line ends so that every Windows editor shows their lines. Only the
# 32-bit programs ship; the 64-bit tree exists for the Wine tests and packs nothing.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()
endif()
install(TARGETS Quillet SetQuillet RUNTIME DESTINATION .)
configure_file(resources/README-windows.txt README-windows.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README-windows.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Quillet)
set(CPACK_PACKAGE_FILE_NAME Quillet-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
