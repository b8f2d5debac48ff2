# Cross-compiles for Windows x86-64 with mingw-w64 (posix thread model: std::thread, std::mutex).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# zlib and libgcrypt come from the mingw-w64 packages under /usr/x86_64-w64-mingw32. Programs and
# the DLL are linked -static, so they need no compiler run-time or library DLLs beside them. Tests
# run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QORVIN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QORVIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QORVIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QORVIN_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QORVIN_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QORVIN_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${QORVIN_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QORVIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the target's libraries only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${QORVIN_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Static archives first, so that zlib and libgcrypt end up inside the DLL.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a .dll.a .lib)
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Release builds at -O2: as fast here as -O3, quicker to build.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")

# Test programs run under Wine 64-bit, headless.
find_program(QORVIN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QORVIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QORVIN_WINE})
endif()
