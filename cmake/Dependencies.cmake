# Third-party libraries of provision_core.
if(WIN32)
  # The Windows build links libssh2 and mbedTLS built by scripts/build-windows-deps, plus Windows'
  # own libraries.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBSSH2 REQUIRED IMPORTED_TARGET libssh2)
  target_link_libraries(provision_core PUBLIC PkgConfig::LIBSSH2 ws2_32 wininet)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBSSH2 REQUIRED IMPORTED_TARGET libssh2)
  find_package(CURL REQUIRED)
  target_link_libraries(provision_core PUBLIC PkgConfig::LIBSSH2 CURL::libcurl)
endif()
