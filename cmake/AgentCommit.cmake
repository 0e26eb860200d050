# agent_version.h: the release, from project() in CMakeLists.txt, the one
# place it is written, for every program that reports it.
set(TARNWEL_COMMIT_HEADER_DIR "${CMAKE_BINARY_DIR}/generated")
file(CONFIGURE OUTPUT "${TARNWEL_COMMIT_HEADER_DIR}/agent_version.h"
  CONTENT "// Generated from the project's version; do not edit.\n#pragma once\n#define TARNWEL_VERSION \"${PROJECT_VERSION}\"\n")

# Generates agent_commit.h with the source revision as 12 lowercase hex digits.
# The header is regenerated on every build but only rewritten when the revision
# changes, so a new commit refreshes the value without needless rebuilds.
set(TARNWEL_COMMIT_HEADER "${TARNWEL_COMMIT_HEADER_DIR}/agent_commit.h")

add_custom_target(tarnwel_agent_commit
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DOUTPUT=${TARNWEL_COMMIT_HEADER}
          -P ${CMAKE_SOURCE_DIR}/cmake/WriteAgentCommit.cmake
  BYPRODUCTS ${TARNWEL_COMMIT_HEADER}
  COMMENT "Checking the source revision"
  VERBATIM)
