# The 32-bit worker (Win32 only: no Qt, no library of scripts/windows-deps.sh), which loads the
# 32-bit TWAIN manager and 32-bit vendor libraries the 64-bit agent cannot. Linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DRALMIN_MINGW i686-w64-mingw32)

set(CMAKE_C_COMPILER ${DRALMIN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRALMIN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${DRALMIN_MINGW}-windres)
set(CMAKE_AR ${DRALMIN_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${DRALMIN_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${DRALMIN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
