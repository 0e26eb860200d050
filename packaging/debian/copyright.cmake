# Writes the Debian package's copyright file, in Debian's machine-readable
# format (DEP-5), from LICENSE: the copyright line and the licence text, whose
# paragraphs DEP-5 indents by one space, with " ." for a blank line.
#
#   tarnwel_write_debian_copyright(<LICENSE> <output file>)
function(tarnwel_write_debian_copyright license output)
  file(READ ${license} text)
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(holder "")
  set(body "")
  set(in_body FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^Copyright \\(c\\) (.*)$")
      set(holder "${CMAKE_MATCH_1}")
      set(in_body TRUE)
    elseif(in_body)
      if(line STREQUAL "")
        string(APPEND body " .\n")
      else()
        string(APPEND body " ${line}\n")
      endif()
    endif()
  endforeach()
  if(NOT holder)
    message(FATAL_ERROR "${license}: no \"Copyright (c) ...\" line")
  endif()
  # The text after the copyright line starts with its blank separator line.
  string(REGEX REPLACE "^ \\.\n" "" body "${body}")
  file(WRITE ${output}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ${PROJECT_NAME}\n"
    "Upstream-Contact: ${CPACK_PACKAGE_CONTACT}\n"
    "\n"
    "Files: *\n"
    "Copyright: ${holder}\n"
    "License: Expat\n"
    "${body}")
endfunction()
