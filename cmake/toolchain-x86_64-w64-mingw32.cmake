# Cross build for 64-bit Windows with mingw-w64, for 64-bit hosts (a 64-bit process cannot load
# the 32-bit DLL); the -posix compilers give GoogleTest std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test executables run under wine64 itself (never the 32-bit loader, which some kernels cannot
# start), in a 64-bit prefix of this build's own (cmake/wine-run.in).
set(ZEBMACRO_WINE_LOADER /usr/lib/wine/wine64)
set(ZEBMACRO_WINE_ARCH win64)
set(ZEBMACRO_PE_FORMAT pei-x86-64)
