# Shared build settings: every target links dralmin_common.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Only the 32-bit TWAIN worker, with cmake/mingw-w64-i686.cmake: Win32 alone, no Qt, no library.
option(DRALMIN_WORKER_ONLY "Build only the 32-bit TWAIN worker (dralmin-twain-worker32.exe)" OFF)

set(DRALMIN_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, address (ASan+UBSan) or thread")
# Warnings are errors for the developers; a package build with another compiler or other flags
# must not fail on a new warning (debian/rules turns it off).
option(DRALMIN_WERROR "Treat compiler warnings as errors" ON)

add_library(dralmin_common INTERFACE)
target_compile_options(dralmin_common INTERFACE
    -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor $<$<BOOL:${DRALMIN_WERROR}>:-Werror>)
target_compile_definitions(dralmin_common INTERFACE _GLIBCXX_ASSERTIONS
    $<$<AND:$<NOT:$<CONFIG:Debug>>,$<NOT:$<BOOL:${WIN32}>>>:_FORTIFY_SOURCE=2>)

# The operating-system layers: beside each *_posix.cpp is a *_win.cpp, and this is the one place
# that picks between them (as Foo_${DRALMIN_OS}.cpp).
if(WIN32)
  set(DRALMIN_OS win)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsLibraries.cmake)
else()
  set(DRALMIN_OS posix)
endif()

# DralminVersion.h: the project version for the code that names it.
configure_file(${CMAKE_CURRENT_LIST_DIR}/DralminVersion.h.in
               ${PROJECT_BINARY_DIR}/generated/DralminVersion.h @ONLY)
target_include_directories(dralmin_common INTERFACE ${PROJECT_BINARY_DIR}/generated)

if(DRALMIN_SANITIZE STREQUAL "address")
  # Without the vptr check: it reads a vtable through a pipe to learn whether the memory is
  # mapped, so in a process out of descriptors (which the load tests bring about on purpose) it
  # reports any polymorphic call it has not cached yet as a call on a wrong type, and aborts.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)
elseif(DRALMIN_SANITIZE STREQUAL "thread")
  # Asio uses standalone fences, which TSan cannot model; the warning says only that.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
elseif(NOT DRALMIN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DRALMIN_SANITIZE must be empty, address or thread")
endif()

find_package(Threads REQUIRED)

# Include folders that hold one module each. A library exports only its own module's folder, and
# gets the others' through the libraries it links, so a file can include only what lies below it:
# `#include "app/Agent.h"` does not compile in devices/. The folder is a link in the build tree,
# so that includes keep their module path ("platform/Log.h").
function(dralmin_module_include_dir module out)
  string(REPLACE "/" "_" name ${module})
  set(root ${PROJECT_BINARY_DIR}/include/${name})
  if(NOT EXISTS ${root}/${module})
    get_filename_component(parent ${root}/${module} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${module} ${root}/${module} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# The target exports the folder of the CMakeLists.txt that calls this.
function(dralmin_export_folder target)
  file(RELATIVE_PATH module ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  dralmin_module_include_dir(${module} root)
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# Only the headers of these modules, for a target that implements an interface they declare
# (a simulator of a device's library) without linking the module.
function(dralmin_use_headers target)
  foreach(module IN LISTS ARGN)
    dralmin_module_include_dir(${module} root)
    target_include_directories(${target} PRIVATE ${root})
  endforeach()
endfunction()
