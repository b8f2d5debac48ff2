# Debian's hardening flags, as `dpkg-buildflags` gives them for bookworm on amd64, for the Linux
# build (the packages are made from it):
#
#   compile  -fstack-protector-strong -Wformat -Werror=format-security
#            -D_FORTIFY_SOURCE=2            (optimised builds only: glibc's checks need -O1 or
#                                            more, and without it warn, which -Werror fails)
#   link     -Wl,-z,relro -Wl,-z,now        (read-only relocations, every symbol bound at load)
#            -pie                           (programs: CMAKE_POSITION_INDEPENDENT_CODE is on)
#
# QORVIN_HARDENING=OFF leaves them out. _FORTIFY_SOURCE goes to what is installed and packaged:
# the top-level CMakeLists.txt calls qorvin_fortify_end() before the tests, benchmarks and fuzz
# targets (which call system() and write() for effect, and which AddressSanitizer checks in the
# sanitizer builds). The sanitizer and fuzz builds get none: ASan checks those calls itself.
option(QORVIN_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ON)

# The directories added after this get no _FORTIFY_SOURCE (targets already made keep it).
function(qorvin_fortify_end)
  get_property(definitions DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY COMPILE_DEFINITIONS)
  list(FILTER definitions EXCLUDE REGEX "_FORTIFY_SOURCE")
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY COMPILE_DEFINITIONS "${definitions}")
endfunction()

if(NOT QORVIN_HARDENING)
  return()
endif()

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
if(NOT QORVIN_SANITIZE AND NOT QORVIN_FUZZ)
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
