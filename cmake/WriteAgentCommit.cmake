# Script mode: writes OUTPUT with the revision of the git checkout at SOURCE_DIR.
# Outside a git checkout the revision is the fixed value 000000000000.
set(commit "000000000000")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --verify -q HEAD
    OUTPUT_VARIABLE head
    RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  if(status EQUAL 0 AND head MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${head}" 0 12 commit)
  endif()
endif()
set(content "// Generated at build time; do not edit.\n#pragma once\n#define TARNWEL_AGENT_COMMIT \"${commit}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${content}")
  file(WRITE "${OUTPUT}" "${content}")
endif()
