# The warnings every target of this project is built with. PROVISION_WARNINGS_AS_ERRORS (the test
# command turns it on) makes them errors. Third-party headers are included as system headers, so
# their warnings are not ours.
option(PROVISION_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
if(MSVC)
  add_compile_options(/W4)
  if(PROVISION_WARNINGS_AS_ERRORS)
    add_compile_options(/WX)
  endif()
else()
  # Beyond -Wall -Wextra: shadowed names, value- and sign-changing conversions, and the class and
  # format mistakes that compile silently.
  add_compile_options(
    -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wformat=2
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor> $<$<COMPILE_LANGUAGE:CXX>:-Woverloaded-virtual>)
  if(PROVISION_WARNINGS_AS_ERRORS)
    add_compile_options(-Werror)
  endif()
endif()
