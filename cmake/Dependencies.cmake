# Third-party libraries of provision_core.
if(WIN32)
  # The Windows build links libssh2 and mbedTLS, static, from the prefix that
  # scripts/build-windows-deps prints, plus Windows' own libraries.
  set(PROVISION_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows builds of libssh2 and mbedTLS")
  # A new prefix (new versions) is searched afresh.
  if(NOT "${PROVISION_WINDOWS_DEPS}" STREQUAL "${PROVISION_WINDOWS_DEPS_SEARCHED}")
    unset(PROVISION_LIBSSH2_INCLUDE CACHE)
    foreach(lib ssh2 mbedtls mbedx509 mbedcrypto)
      unset(PROVISION_${lib}_LIBRARY CACHE)
    endforeach()
    unset(GTest_DIR CACHE)
    set(PROVISION_WINDOWS_DEPS_SEARCHED "${PROVISION_WINDOWS_DEPS}" CACHE INTERNAL "")
  endif()
  find_path(PROVISION_LIBSSH2_INCLUDE libssh2.h REQUIRED)
  foreach(lib ssh2 mbedtls mbedx509 mbedcrypto)
    find_library(PROVISION_${lib}_LIBRARY NAMES lib${lib}.a REQUIRED)
  endforeach()
  add_library(provision_libssh2 INTERFACE)
  target_include_directories(provision_libssh2 SYSTEM INTERFACE ${PROVISION_LIBSSH2_INCLUDE})
  # libssh2 before mbedTLS, mbedTLS's own layers from the top down, then the system libraries
  # they call (Winsock; CryptGenRandom in advapi32).
  target_link_libraries(provision_libssh2 INTERFACE
    ${PROVISION_ssh2_LIBRARY} ${PROVISION_mbedtls_LIBRARY} ${PROVISION_mbedx509_LIBRARY}
    ${PROVISION_mbedcrypto_LIBRARY} ws2_32 advapi32)
  target_link_libraries(provision_core PUBLIC provision_libssh2 wininet)

  # The Debian source versions the prefix was built from (its .complete: "NAME VERSION" lines),
  # which --version names and the notices (cmake/Notices.cmake) take.
  get_filename_component(PROVISION_WINDOWS_PREFIX "${PROVISION_LIBSSH2_INCLUDE}" DIRECTORY)
  file(STRINGS "${PROVISION_WINDOWS_PREFIX}/.complete" built_from REGEX "^(libssh2|mbedtls) ")
  foreach(line IN LISTS built_from)
    string(REGEX MATCH "^([a-z0-9]+) (.+)$" line "${line}")
    set(PROVISION_${CMAKE_MATCH_1}_SOURCE "${CMAKE_MATCH_2}")
  endforeach()
  if(NOT PROVISION_libssh2_SOURCE OR NOT PROVISION_mbedtls_SOURCE)
    message(FATAL_ERROR "${PROVISION_WINDOWS_PREFIX}/.complete names no libssh2 and mbedtls version")
  endif()
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/app/libraries-win32.cc APPEND PROPERTY
    COMPILE_DEFINITIONS PROVISION_LIBSSH2_SOURCE="${PROVISION_libssh2_SOURCE}"
    PROVISION_MBEDTLS_SOURCE="${PROVISION_mbedtls_SOURCE}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${PROVISION_WINDOWS_PREFIX}/.complete")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBSSH2 REQUIRED IMPORTED_TARGET libssh2)
  find_package(CURL REQUIRED)
  # libcrypto, which Debian's libssh2 is built on, for the version --version names.
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  # libzip checks the packages; zlib, which it inflates with, for the version --version names.
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  find_package(ZLIB REQUIRED)
  target_link_libraries(provision_core PUBLIC PkgConfig::LIBSSH2 CURL::libcurl OpenSSL::Crypto
                        PkgConfig::LIBZIP ZLIB::ZLIB)
endif()
