# Assembles the notices of provision.exe (see cmake/Notices.cmake) from the manifest that names
# each component and its files:
#   cmake -DMANIFEST=notices-manifest.cmake -DTEXT=THIRD-PARTY-NOTICES.txt \
#         -DINCLUDE=third_party_notices.inc -P cmake/WriteNotices.cmake
# TEXT gets CR LF line ends (it is read on Windows); INCLUDE is the text with LF line ends as the
# initialiser of an unsigned char array, for the executable.
cmake_minimum_required(VERSION 3.20)
include(${MANIFEST})

set(rule "================================================================================")
set(text "Third-party notices of provision.exe

provision.exe contains the third-party code below, linked in statically. Each section names a
component and the Debian package it was built from, followed by that package's copyright file:
the component's copyright notices and licence terms as Debian records them. Where those terms are
a licence that the copyright file names only by its file on a Debian system
(/usr/share/common-licenses/...), the licence's full text follows.

Components:
")
foreach(component IN LISTS components)
  string(APPEND text "  - ${${component}_title}\n")
endforeach()

if(NOT lagging STREQUAL "")
  string(APPEND text "
Built from Debian sources older than those of the Linux build (the package archive served no
newer source when this executable was built):
${lagging}")
endif()

# Appends a file's text, which ends with exactly one line feed.
macro(append_file path)
  file(READ "${path}" body)
  string(REGEX REPLACE "\n+$" "" body "${body}")
  string(APPEND text "${body}\n")
endmacro()

foreach(component IN LISTS components)
  string(APPEND text "\n\n${rule}\n${${component}_title}\n${rule}\n\n")
  # A component's note (libssh's: where the relinking kit is) comes before its copyright file.
  if(DEFINED ${component}_note)
    string(APPEND text "${${component}_note}\n\n")
  endif()
  append_file("${${component}_copyright}")
  foreach(license IN LISTS ${component}_licenses)
    get_filename_component(name "${license}" NAME)
    string(APPEND text "\n---- The full text of ${name} (${license} on Debian) ----\n\n")
    append_file("${license}")
  endforeach()
endforeach()

string(REPLACE "\n" "\r\n" windows_text "${text}")
file(WRITE "${TEXT}" "${windows_text}")

string(HEX "${text}" hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
set(line "")
foreach(i RANGE 1 16)
  string(APPEND line "0x..,")
endforeach()
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
file(WRITE "${INCLUDE}" "${bytes}\n")
