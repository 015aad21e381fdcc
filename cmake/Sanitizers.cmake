# AddressSanitizer and UndefinedBehaviorSanitizer over everything built here; any report ends the
# process with an error.
option(PROVISION_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# The libFuzzer targets of tests/fuzz (clang only), with the sanitizers; everything else is built
# with libFuzzer's coverage instrumentation.
option(PROVISION_FUZZ "Build the fuzz targets (needs clang)" OFF)
if(PROVISION_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "PROVISION_FUZZ needs clang (CC=clang CXX=clang++)")
endif()
if(PROVISION_SANITIZE OR PROVISION_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(PROVISION_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(PROVISION_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # With the sanitizers' instrumentation GCC 12 reports values in libstdc++'s own std::regex and
  # std::function as maybe uninitialized; the other builds keep the warning.
  add_compile_options(-Wno-maybe-uninitialized)
endif()
