# Third-party libraries of provision_core.
if(WIN32)
  # The Windows build links libssh on OpenSSL's libcrypto, libzip on zlib, and libcurl, static,
  # from the prefix that scripts/build-windows-deps prints, plus Windows' own libraries. Only that
  # prefix is searched: MinGW's own folder holds a zlib that Wine's package brings.
  set(PROVISION_WINDOWS_DEPS "" CACHE PATH
      "Prefix of the Windows builds of libssh, OpenSSL, libzip, zlib and libcurl")
  set(provision_windows_libraries ssh crypto zip z curl)
  # A new prefix (new versions) is searched afresh.
  if(NOT "${PROVISION_WINDOWS_DEPS}" STREQUAL "${PROVISION_WINDOWS_DEPS_SEARCHED}")
    unset(PROVISION_WINDOWS_INCLUDE CACHE)
    foreach(lib ${provision_windows_libraries})
      unset(PROVISION_${lib}_LIBRARY CACHE)
    endforeach()
    unset(GTest_DIR CACHE)
    set(PROVISION_WINDOWS_DEPS_SEARCHED "${PROVISION_WINDOWS_DEPS}" CACHE INTERNAL "")
  endif()
  find_path(PROVISION_WINDOWS_INCLUDE libssh/libssh.h PATHS ${PROVISION_WINDOWS_DEPS}/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  foreach(lib ${provision_windows_libraries})
    find_library(PROVISION_${lib}_LIBRARY NAMES lib${lib}.a PATHS ${PROVISION_WINDOWS_DEPS}/lib
                 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  endforeach()
  # libssh's header declares its functions for a DLL unless LIBSSH_STATIC says it is linked in.
  # libssh before libcrypto, then the system libraries they call: Winsock (ws2_32), iphlpapi for
  # the scope of an IPv6 address (if_nametoindex), shell32 for the user's profile folder
  # (SHGetSpecialFolderPathA, libssh's ~), advapi32 for the user's name (GetUserNameA) and
  # libcrypto's random seed (CryptGenRandom), and user32 for libcrypto's look at the window
  # station (is it a service?) and its message box of last resort.
  add_library(provision_libssh INTERFACE)
  target_include_directories(provision_libssh SYSTEM INTERFACE ${PROVISION_WINDOWS_INCLUDE})
  target_compile_definitions(provision_libssh INTERFACE LIBSSH_STATIC)
  target_link_libraries(provision_libssh INTERFACE
    ${PROVISION_ssh_LIBRARY} ${PROVISION_crypto_LIBRARY} ws2_32 iphlpapi shell32 advapi32 user32)
  # libzip's header declares its functions for a DLL unless ZIP_STATIC says it is linked in; it
  # seeds its random names with CryptGenRandom (advapi32).
  add_library(provision_libzip INTERFACE)
  target_include_directories(provision_libzip SYSTEM INTERFACE ${PROVISION_WINDOWS_INCLUDE})
  target_compile_definitions(provision_libzip INTERFACE ZIP_STATIC)
  target_link_libraries(provision_libzip INTERFACE
    ${PROVISION_zip_LIBRARY} ${PROVISION_z_LIBRARY} advapi32)
  # libcurl, FTP only: its header declares its functions for a DLL unless CURL_STATICLIB says it is
  # linked in; Winsock, and bcrypt for its random numbers (BCryptGenRandom).
  add_library(provision_libcurl INTERFACE)
  target_include_directories(provision_libcurl SYSTEM INTERFACE ${PROVISION_WINDOWS_INCLUDE})
  target_compile_definitions(provision_libcurl INTERFACE CURL_STATICLIB)
  target_link_libraries(provision_libcurl INTERFACE ${PROVISION_curl_LIBRARY} ws2_32 bcrypt)
  target_link_libraries(provision_core PUBLIC provision_libssh provision_libzip provision_libcurl)

  # The Debian source versions the prefix was built from (its .complete: "NAME VERSION" lines),
  # which --version names and the notices (cmake/Notices.cmake) take.
  set(PROVISION_WINDOWS_PREFIX "${PROVISION_WINDOWS_DEPS}")
  set(provision_windows_sources openssl libssh zlib libzip curl)
  file(STRINGS "${PROVISION_WINDOWS_PREFIX}/.complete" built_from
       REGEX "^(openssl|libssh|zlib|libzip|curl) ")
  foreach(line IN LISTS built_from)
    string(REGEX MATCH "^([a-z0-9]+) (.+)$" line "${line}")
    set(PROVISION_${CMAKE_MATCH_1}_SOURCE "${CMAKE_MATCH_2}")
  endforeach()
  set(source_definitions)
  foreach(source IN LISTS provision_windows_sources)
    if(NOT PROVISION_${source}_SOURCE)
      message(FATAL_ERROR "${PROVISION_WINDOWS_PREFIX}/.complete names no ${source} version")
    endif()
    string(TOUPPER "${source}" upper)
    list(APPEND source_definitions PROVISION_${upper}_SOURCE="${PROVISION_${source}_SOURCE}")
  endforeach()
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/app/libraries-win32.cc APPEND PROPERTY
    COMPILE_DEFINITIONS ${source_definitions})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${PROVISION_WINDOWS_PREFIX}/.complete")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBSSH REQUIRED IMPORTED_TARGET libssh)
  add_library(provision_libssh INTERFACE)
  target_link_libraries(provision_libssh INTERFACE PkgConfig::LIBSSH)
  find_package(CURL REQUIRED)
  # libcrypto, which Debian's libssh is built on, for the version --version names.
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  # libzip checks the packages; zlib, which it inflates with, for the version --version names.
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  find_package(ZLIB REQUIRED)
  target_link_libraries(provision_core PUBLIC provision_libssh CURL::libcurl OpenSSL::Crypto
                        PkgConfig::LIBZIP ZLIB::ZLIB)
endif()
