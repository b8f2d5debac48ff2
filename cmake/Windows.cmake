# The Windows build: the layers of QorvinClient.dll, lowest first, and their Windows tests.
# Included by the top-level CMakeLists.txt when the target system is Windows.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "The Windows build is made with mingw-w64 (cmake/mingw-w64-x86_64.cmake)")
endif()
# Windows 7 API level and above; no min/max macros from <windows.h>.
# The C99 printf family of mingw-w64 (%zu, %lld), not the system's.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN
  __USE_MINGW_ANSI_STDIO=1)

# GCC 12 warns of overlapping copies inside std::string concatenation that cannot happen (a known
# false positive of its -Wrestrict). Format()'s arguments are checked by the Linux build: for
# mingw, GCC checks them against the system's printf (no %zu), while Format() uses the C99 one.
add_compile_options(-Wno-restrict -Wno-format)

add_subdirectory(platform)
add_subdirectory(messaging)
add_subdirectory(contract)
add_subdirectory(datastream)
add_subdirectory(channels)
add_subdirectory(client)
# qorvin.exe, the command-line host.
add_subdirectory(tools)

if(QORVIN_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
  # qorvin.exe and the HTTP engine end to end against the Linux server (the test program comes
  # from the Linux build named by QORVIN_LINUX_BUILD_DIR).
  add_subdirectory(tests/wine)
endif()
