# Windows: the system headers without their min and max macros, Windows 7 and later, the C
# library's localtime_r, and the static libraries of scripts/windows-deps.sh, whose own packages
# do not say what they need.
target_compile_definitions(dralmin_common INTERFACE NOMINMAX WIN32_LEAN_AND_MEAN
    _WIN32_WINNT=0x0601 UNICODE _UNICODE _POSIX_THREAD_SAFE_FUNCTIONS=200112L)

# Programs and DLLs in one folder, where Windows looks for the DLLs a program loads.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

if(DRALMIN_WORKER_ONLY)
  return()  # the worker links no library
endif()

set(OPENSSL_USE_STATIC_LIBS ON)
find_package(OpenSSL 3 REQUIRED)
set_property(TARGET OpenSSL::Crypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 crypt32)
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
set_property(TARGET CURL::libcurl APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB)
set_property(TARGET CURL::libcurl APPEND PROPERTY INTERFACE_LINK_LIBRARIES
             OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB ws2_32 bcrypt crypt32)
