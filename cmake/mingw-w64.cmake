# Cross-building KVN.exe on Linux with mingw-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVN_MINGW_PREFIX x86_64-w64-mingw32)
# The posix-thread compiler: the win32-thread one has no std::mutex, which GoogleTest needs.
set(CMAKE_C_COMPILER ${KVN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KVN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KVN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not offer the build machine's Linux libraries either.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${KVN_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Wine cannot start a mingw program that needs the mingw runtime DLLs, and users should not need
# them either: link everything in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# -O2 rather than -O3: GCC 12's -O3 inlining raises false -Wrestrict warnings in std::string.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Release flags")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Release flags")
