# The program's version: the project version, and the commit when the source is a git checkout
# (empty otherwise). Both reach the one source file that shows them.
set(PROVISION_COMMIT "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel --git-path logs/HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE git_paths OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_result ERROR_QUIET)
  string(REPLACE "\n" ";" git_paths "${git_paths}")
  list(LENGTH git_paths git_lines)
  if(git_result EQUAL 0 AND git_lines EQUAL 2)
    list(GET git_paths 0 git_top)
    list(GET git_paths 1 head_log)
    file(REAL_PATH "${git_top}" git_top)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" source_top)
    # A source folder inside some other checkout is no checkout of its own.
    if(git_top STREQUAL source_top)
      execute_process(
        COMMAND ${GIT_EXECUTABLE} rev-parse --short HEAD
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE PROVISION_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      # HEAD's log changes whenever HEAD moves: configure again then, so the commit stays true.
      get_filename_component(head_log "${head_log}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
      if(EXISTS "${head_log}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
      endif()
    endif()
  endif()
endif()
set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/app/usage.cc APPEND PROPERTY COMPILE_DEFINITIONS
  PROVISION_VERSION="${PROJECT_VERSION}" PROVISION_COMMIT="${PROVISION_COMMIT}")
