# Debian's hardening flags for every target of a release build, as the release we build on
# says them: what `DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags` adds over
# `hardening=-all` (so not -g, -O2 and the like). Without dpkg-buildflags, Debian 12's set:
# PIE, a stack protector on functions with arrays or address-taken locals, checked
# variants of the libc calls whose buffer sizes the compiler knows, and a GOT that is
# read-only before main() runs. Debian 13 adds stack-clash and control-flow protection.
# The sanitizer and fuzz presets turn this off: ASan replaces the checked calls itself.
option(QUILLET_HARDEN "Build with Debian's hardening flags" ON)

if(NOT QUILLET_HARDEN)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# dpkg-buildflags' flags under hardening setting HARDENING, as `export NAME="..."` lines
# (one call for all of them: each takes about a second on a loaded machine).
function(quillet_buildflags hardening out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=${hardening}
            dpkg-buildflags --export=sh
    OUTPUT_VARIABLE flags RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(flags "")
  endif()
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

# Variable NAME of dpkg-buildflags' EXPORT, as a list.
function(quillet_buildflag export name out)
  set(flags "")
  if(export MATCHES "export ${name}=\"([^\"]*)\"")
    separate_arguments(flags UNIX_COMMAND "${CMAKE_MATCH_1}")
  endif()
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

set(compileFlags "")
set(defines "")
set(linkFlags "")
find_program(QUILLET_DPKG_BUILDFLAGS dpkg-buildflags)
if(QUILLET_DPKG_BUILDFLAGS)
  quillet_buildflags(+all hardenedExport)
  quillet_buildflags(-all plainExport)
  foreach(variable CXXFLAGS CPPFLAGS LDFLAGS)
    quillet_buildflag("${hardenedExport}" ${variable} hardened)
    quillet_buildflag("${plainExport}" ${variable} plain)
    list(REMOVE_ITEM hardened ${plain})
    foreach(flag IN LISTS hardened)
      if(flag MATCHES "^-D(.*)")
        list(APPEND defines "${CMAKE_MATCH_1}")
      elseif(flag MATCHES "^-Wl,(.*)")
        list(APPEND linkFlags "LINKER:${CMAKE_MATCH_1}")
      elseif(variable STREQUAL "LDFLAGS")
        list(APPEND linkFlags "${flag}")
      else()
        list(APPEND compileFlags "${flag}")
      endif()
    endforeach()
  endforeach()
endif()
if(NOT compileFlags AND NOT defines AND NOT linkFlags)
  set(compileFlags -fstack-protector-strong -Wformat -Werror=format-security)
  set(defines _FORTIFY_SOURCE=2)
  set(linkFlags LINKER:-z,relro LINKER:-z,now)
endif()
# What the build was hardened with, for the package test's hardening-check.
set(QUILLET_HARDEN_FLAGS "${compileFlags};${defines};${linkFlags}" CACHE INTERNAL "")
message(STATUS "Hardening: ${compileFlags} ${defines} ${linkFlags}")

add_compile_options(${compileFlags})
# _FORTIFY_SOURCE does nothing without optimisation, and glibc warns about that.
foreach(define IN LISTS defines)
  if(define MATCHES "^_FORTIFY_SOURCE")
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:${define}>)
  else()
    add_compile_definitions(${define})
  endif()
endforeach()
add_link_options(${linkFlags})
