# Cross-compiling the Windows agent on Debian with mingw-w64.
#
# The -posix compilers: the default x86_64-w64-mingw32-g++ uses the win32
# thread model, which has no std::mutex or std::thread.
#
# Libraries come only from the mingw sysroot and from the prefixes that
# scripts/windows-deps builds under HALVEX_DEPS_DIR (default: <build>/deps),
# never from the host: find_* searches only there, and pkg-config reads only
# those prefixes' .pc files.
#
# Programs run under wine64 (Debian puts it in /usr/lib/wine, not on PATH),
# so ctest runs the test programs as it would on Windows.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HALVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HALVEX_MINGW_TRIPLE}-windres)

# try_compile projects get their own binary folder: pass the prefix on, or
# their pkg-config and find_* calls would look elsewhere.
if(NOT HALVEX_DEPS_DIR)
  set(HALVEX_DEPS_DIR "${CMAKE_BINARY_DIR}/deps")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALVEX_DEPS_DIR)

# Every finished prefix (scripts/windows-deps marks it with .built).
set(HALVEX_DEPS_PREFIXES "")
file(GLOB _halvex_dep_dirs LIST_DIRECTORIES true "${HALVEX_DEPS_DIR}/*")
foreach(_dir IN LISTS _halvex_dep_dirs)
  if(EXISTS "${_dir}/.built")
    list(APPEND HALVEX_DEPS_PREFIXES "${_dir}")
  endif()
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${HALVEX_MINGW_TRIPLE} ${HALVEX_DEPS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_halvex_pc "")
foreach(_dir IN LISTS HALVEX_DEPS_PREFIXES)
  list(APPEND _halvex_pc "${_dir}/lib/pkgconfig")
endforeach()
string(REPLACE ";" ":" _halvex_pc "${_halvex_pc}")
# An empty PKG_CONFIG_LIBDIR would mean pkg-config's default (the host's).
if(_halvex_pc STREQUAL "")
  set(_halvex_pc "${HALVEX_DEPS_DIR}/none")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${_halvex_pc}")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# One self-contained executable: no libstdc++, libgcc or winpthread DLLs to
# ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
