# Writes the Debian package's /usr/share/doc/natjoin/copyright in Debian's machine-readable
# format (copyright-format 1.0) from the LICENSE file, so that the license text has one home:
#
#   cmake -DINPUT=LICENSE -DOUTPUT=copyright -DPACKAGE=natjoin -P debian_copyright.cmake
#
# LICENSE is the MIT license: its first line names it, a "Copyright (c) ..." line gives the
# holders, and the rest is the license text, which becomes the License field's body (each
# line indented by one space, an empty line written " ."). Debian's short name for this text
# is Expat, since "MIT" names several licenses.
cmake_minimum_required(VERSION 3.20)

foreach(variable INPUT OUTPUT PACKAGE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "debian_copyright.cmake needs -D${variable}=...")
  endif()
endforeach()

file(STRINGS "${INPUT}" lines)
set(holders "")
set(body "")
foreach(line IN LISTS lines)
  if(holders STREQUAL "")
    # The title and the copyright line come before the text.
    if(line MATCHES "^Copyright \\(c\\) (.+)$")
      set(holders "${CMAKE_MATCH_1}")
    endif()
  elseif(line STREQUAL "")
    string(APPEND body " .\n")
  else()
    string(APPEND body " ${line}\n")
  endif()
endforeach()
if(holders STREQUAL "" OR NOT lines MATCHES "^MIT License")
  message(FATAL_ERROR "${INPUT} is not the MIT license with a \"Copyright (c) ...\" line")
endif()
# The text follows the copyright line after an empty line, which is no part of it.
string(REGEX REPLACE "^ \\.\n" "" body "${body}")

file(WRITE "${OUTPUT}"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${PACKAGE}\n"
     "\n"
     "Files: *\n"
     "Copyright: ${holders}\n"
     "License: Expat\n"
     "Comment: The MIT license, which Debian calls Expat.\n"
     "\n"
     "License: Expat\n"
     "${body}")
