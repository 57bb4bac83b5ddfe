# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads, for std::thread and
# std::mutex). Everything is linked statically so that the programs need no MinGW DLLs beside
# them. DRALMIN_WINDOWS_PREFIX is the folder scripts/windows-deps.sh built the libraries into.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DRALMIN_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${DRALMIN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRALMIN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${DRALMIN_MINGW}-windres)
set(CMAKE_AR ${DRALMIN_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${DRALMIN_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

if(NOT DEFINED DRALMIN_WINDOWS_PREFIX AND DEFINED ENV{DRALMIN_WINDOWS_PREFIX})
  set(DRALMIN_WINDOWS_PREFIX $ENV{DRALMIN_WINDOWS_PREFIX})
endif()
# Libraries and packages come from the cross prefix and the compiler's own folder only; the host's
# /usr stays out (Boost's headers are reached through a folder in the prefix that links to them).
set(CMAKE_FIND_ROOT_PATH /usr/${DRALMIN_MINGW} ${DRALMIN_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The 64-bit loader by name: Debian's `wine` wrapper picks the 32-bit one once wine32 is installed.
find_program(DRALMIN_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine
  NO_DEFAULT_PATH)
if(NOT DRALMIN_WINE)
  find_program(DRALMIN_WINE NAMES wine64 wine)
endif()
if(DRALMIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DRALMIN_WINE})
endif()

# Qt's code generators (moc, rcc, uic) are the host's, of the same Qt version.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
