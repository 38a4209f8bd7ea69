# Cross build for 32-bit Windows with mingw-w64; the -posix compilers give GoogleTest std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test executables run under Wine's 32-bit loader, in a 32-bit prefix of this build's own
# (cmake/wine-run.in).
set(ZEBMACRO_WINE_LOADER /usr/lib/wine/wine)
set(ZEBMACRO_WINE_ARCH win32)
set(ZEBMACRO_PE_FORMAT pei-i386)
