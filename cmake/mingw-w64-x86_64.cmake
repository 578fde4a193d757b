# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix thread model, so
# std::thread and std::mutex work). The dependencies come from the prefixes that
# tools/build-windows.sh builds; it passes them as SONDREL_WIN_DEPS (a list).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SONDREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SONDREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SONDREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SONDREL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${SONDREL_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${SONDREL_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# try_compile projects read this file again; hand the prefixes on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SONDREL_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${SONDREL_MINGW_TRIPLE} ${SONDREL_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the Windows prefixes only, never the host's .pc files.
set(_sondrel_pc_dirs "")
foreach(_prefix IN LISTS SONDREL_WIN_DEPS)
  list(APPEND _sondrel_pc_dirs "${_prefix}/lib/pkgconfig")
endforeach()
string(REPLACE ";" ":" _sondrel_pc_dirs "${_sondrel_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_sondrel_pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Executables carry the C and C++ runtimes inside, so they need no DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
