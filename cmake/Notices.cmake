# The notices of provision.exe: THIRD-PARTY-NOTICES.txt beside it (for the release bundle) and the
# same text inside it (--licenses, src/app/notices-win32.cc). One section per component of
# third-party code linked into the executable, each with the Debian copyright file of the package
# that code comes from:
#   - libssh, OpenSSL's libcrypto, libzip, zlib and libcurl: debian/copyright of the source
#     packages they were built from, which scripts/build-windows-deps keeps in the prefix
#     (share/doc/NAME/copyright);
#   - the MinGW-w64 runtime (C run-time start-up code, libmingwex, winpthreads) and GCC's runtime
#     libraries (libgcc, libstdc++), which the toolchain links statically: the copyright files of
#     the installed Debian packages that hold them.
# Where a component's terms are a licence that its copyright file names only by its place on a
# Debian system (/usr/share/common-licenses), the section carries that licence's text as well.
# libssh is under the LGPL 2.1 and linked statically: its section also says where the release
# bundle keeps what relinking provision.exe with another libssh takes (lgpl/, scripts/release).
# The versions are taken here; cmake/WriteNotices.cmake assembles the text at build time.

function(provision_package_version package out)
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${package}
                  OUTPUT_VARIABLE version RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0 OR version STREQUAL "")
    message(FATAL_ERROR "The notices need the installed Debian package ${package}")
  endif()
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

provision_package_version(mingw-w64-x86-64-dev mingw_version)
provision_package_version(g++-mingw-w64-x86-64-posix gcc_version)

set(licenses /usr/share/common-licenses)
# Each component: its name, where its code comes from, its copyright file and the licence texts
# to add. libssh's copyright file points to the LGPL 2.1 for its terms. OpenSSL 3 is under the
# Apache License 2.0, which its copyright file only points to (as it does to the licences of a
# Perl module used while building, which is not in the executable).
# libzip's, zlib's and curl's terms are in their copyright files (curl's also points to the GPL of
# build scripts, which are not in the executable either). GCC's runtime library exception is a
# permission on top of the GPL 3, whose text the copyright file only points to.
set(notices_manifest "set(components libssh openssl libzip zlib curl mingw gcc)
set(libssh_title [[libssh (Debian source package libssh ${PROVISION_libssh_SOURCE})]])
set(libssh_note [[libssh is licensed under the GNU Lesser General Public License, version 2.1, and
is linked into provision.exe statically. So that provision.exe can be linked again with a changed
libssh, the release zip of provision.exe has a folder lgpl/ with libssh's source as it was built
(Debian's source package ${PROVISION_libssh_SOURCE}: the .dsc and the tarballs it names, and
the patches of this build, if any), the object files and static archives of provision.exe, the
other static libraries it links, and the exact link command (link.sh); lgpl/README.txt says how
to relink with the MinGW-w64 toolchain.]])
set(libssh_copyright [[${PROVISION_WINDOWS_PREFIX}/share/doc/libssh/copyright]])
set(libssh_licenses [[${licenses}/LGPL-2.1]])
set(openssl_title [[OpenSSL: libcrypto (Debian source package openssl ${PROVISION_openssl_SOURCE})]])
set(openssl_copyright [[${PROVISION_WINDOWS_PREFIX}/share/doc/openssl/copyright]])
set(openssl_licenses [[${licenses}/Apache-2.0]])
set(libzip_title [[libzip (Debian source package libzip ${PROVISION_libzip_SOURCE})]])
set(libzip_copyright [[${PROVISION_WINDOWS_PREFIX}/share/doc/libzip/copyright]])
set(libzip_licenses)
set(zlib_title [[zlib (Debian source package zlib ${PROVISION_zlib_SOURCE})]])
set(zlib_copyright [[${PROVISION_WINDOWS_PREFIX}/share/doc/zlib/copyright]])
set(zlib_licenses)
set(curl_title [[libcurl (Debian source package curl ${PROVISION_curl_SOURCE})]])
set(curl_copyright [[${PROVISION_WINDOWS_PREFIX}/share/doc/curl/copyright]])
set(curl_licenses)
set(mingw_title [[MinGW-w64 runtime: C run-time start-up code, libmingwex, winpthreads (Debian package mingw-w64-x86-64-dev ${mingw_version})]])
set(mingw_copyright /usr/share/doc/mingw-w64-x86-64-dev/copyright)
set(mingw_licenses)
set(gcc_title [[GCC runtime libraries: libgcc, libstdc++ (Debian package g++-mingw-w64-x86-64-posix ${gcc_version})]])
set(gcc_copyright /usr/share/doc/g++-mingw-w64-x86-64-posix/copyright)
set(gcc_licenses [[${licenses}/GPL-3]])
")
# A library built from a Debian source older than the one the Linux build links (the package archive
# served no newer source) is named with both versions, so that the notices say what the executable
# lags behind. scripts/release refuses such a build unless it is told to ship it.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-lagging ${PROVISION_WINDOWS_PREFIX}
                OUTPUT_VARIABLE lagging_output RESULT_VARIABLE lagging_result)
if(NOT lagging_result EQUAL 0)
  message(FATAL_ERROR "scripts/windows-lagging could not compare the Windows libraries' sources")
endif()
set(lagging_lines "")
string(REPLACE "\n" ";" lagging_output "${lagging_output}")
foreach(line IN LISTS lagging_output)
  if(line MATCHES "^([^ ]+) ([^ ]+) ([^ ]+) ([^ ]+)$")
    string(APPEND lagging_lines "  - ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}, older than ${CMAKE_MATCH_3} of the Linux build (${CMAKE_MATCH_4})\n")
    message(STATUS "Windows ${CMAKE_MATCH_1} is built from ${CMAKE_MATCH_2}, older than ${CMAKE_MATCH_3} of the Linux build")
  endif()
endforeach()
string(APPEND notices_manifest "set(lagging [[${lagging_lines}]])\n")
set(notices_manifest_file ${PROJECT_BINARY_DIR}/generated/notices-manifest.cmake)
# Written only when it changes, so a new configure does not rebuild the notices.
file(CONFIGURE OUTPUT ${notices_manifest_file} CONTENT "${notices_manifest}" @ONLY)

set(PROVISION_NOTICES_FILE ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
set(notices_include ${PROJECT_BINARY_DIR}/generated/third_party_notices.inc)
add_custom_command(
  OUTPUT ${PROVISION_NOTICES_FILE} ${notices_include}
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${notices_manifest_file} -DTEXT=${PROVISION_NOTICES_FILE}
          -DINCLUDE=${notices_include} -P ${PROJECT_SOURCE_DIR}/cmake/WriteNotices.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/WriteNotices.cmake ${notices_manifest_file}
          ${PROVISION_WINDOWS_PREFIX}/share/doc/libssh/copyright
          ${PROVISION_WINDOWS_PREFIX}/share/doc/openssl/copyright
          ${PROVISION_WINDOWS_PREFIX}/share/doc/libzip/copyright
          ${PROVISION_WINDOWS_PREFIX}/share/doc/zlib/copyright
          ${PROVISION_WINDOWS_PREFIX}/share/doc/curl/copyright
          /usr/share/doc/mingw-w64-x86-64-dev/copyright
          /usr/share/doc/g++-mingw-w64-x86-64-posix/copyright
          ${licenses}/Apache-2.0 ${licenses}/GPL-3 ${licenses}/LGPL-2.1
  COMMENT "Writing THIRD-PARTY-NOTICES.txt"
  VERBATIM)
target_sources(provision_core PRIVATE ${notices_include} ${PROVISION_NOTICES_FILE})
target_include_directories(provision_core PRIVATE ${PROJECT_BINARY_DIR}/generated)
