# Cross-builds the Windows executable (x86_64, console) with Debian's MinGW-w64 posix-threads
# compilers. The result links libgcc, libstdc++ and winpthread statically, so it needs no DLL
# beyond Windows' own.
#
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DPROVISION_WINDOWS_DEPS=<prefix>
#
# PROVISION_WINDOWS_DEPS is the install prefix of the libraries (libssh, OpenSSL, libzip, zlib)
# that scripts/build-windows-deps prints; scripts/build-windows does all of this in one step.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PROVISION_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PROVISION_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PROVISION_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PROVISION_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PROVISION_MINGW_TRIPLE})
if(DEFINED PROVISION_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PROVISION_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Windows executables built here (the unit tests under tests/windows) run through Wine.
find_program(PROVISION_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(PROVISION_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROVISION_WINE_LOADER})
endif()
