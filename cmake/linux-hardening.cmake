# Debian's hardening flags, as `DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags`
# gives them on Debian 12, for every target of a release build: PIE, a stack protector on
# functions with arrays or address-taken locals, checked variants of the libc calls whose
# buffer sizes the compiler knows, and a GOT that is read-only before main() runs.
# The sanitizer and fuzz presets turn this off: ASan replaces the checked calls itself.
option(QUILLET_HARDEN "Build with Debian's hardening flags" ON)

if(NOT QUILLET_HARDEN)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# _FORTIFY_SOURCE does nothing without optimisation, and glibc warns about that.
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
