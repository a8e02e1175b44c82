# Writes CHANGELOG.md in Debian's changelog format, which the Debian package installs as
# /usr/share/doc/natjoin/changelog.gz and lintian parses:
#
#   cmake -DINPUT=CHANGELOG.md -DOUTPUT=changelog -DPACKAGE=natjoin -DVERSION=1.0.0
#         "-DMAINTAINER=Name <address>" -P debian_changelog.cmake
#
# Each "## VERSION (YYYY-MM-DD)" section of INPUT becomes an entry "PACKAGE (VERSION)
# unstable; urgency=medium" signed by MAINTAINER on that day; its items ("- " and the lines
# indented under it) become the entry's "  * " items. The text before the first section is
# left out. Fails unless the first section is VERSION, so that the package never ships a
# changelog that stops short of its own version.
cmake_minimum_required(VERSION 3.20)

# debian_date(ISO_DATE OUT): OUT is the day in RFC 5322 form, "Wed, 09 Dec 2026 00:00:00
# +0000", as a changelog's trailer line has it.
function(debian_date iso out)
  string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" matched "${iso}")
  if(NOT matched)
    message(FATAL_ERROR "${INPUT}: \"${iso}\" is not a date written YYYY-MM-DD")
  endif()
  set(year ${CMAKE_MATCH_1})
  math(EXPR month "1${CMAKE_MATCH_2} - 100")
  set(day ${CMAKE_MATCH_3})
  # The day of the week by Sakamoto's method: a month's offset from the year's start, with
  # January and February counted in the year before, so that the leap day ends a year.
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + 1${day} - 100) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${index} month_name)
  set(${out} "${weekday_name}, ${day} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

foreach(variable INPUT OUTPUT PACKAGE VERSION MAINTAINER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "debian_changelog.cmake needs -D${variable}=...")
  endif()
endforeach()

file(STRINGS "${INPUT}" lines)
set(text "")
set(trailer "")
set(first_version "")
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([^ ]+) \\(([^)]*)\\)$")
    # A section's entry closes with the trailer of the one before it.
    string(APPEND text "${trailer}")
    if(first_version STREQUAL "")
      set(first_version ${CMAKE_MATCH_1})
    endif()
    debian_date("${CMAKE_MATCH_2}" date)
    string(APPEND text "${PACKAGE} (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${MAINTAINER}  ${date}\n\n")
  elseif(first_version STREQUAL "")
    # The preamble.
  elseif(line MATCHES "^- (.*)$")
    string(APPEND text "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.*)$")
    string(APPEND text "    ${CMAKE_MATCH_1}\n")
  elseif(NOT line STREQUAL "")
    message(FATAL_ERROR "${INPUT}: a line that is neither an item nor under one: ${line}")
  endif()
endforeach()
if(NOT first_version STREQUAL VERSION)
  message(FATAL_ERROR "${INPUT} begins with version \"${first_version}\", not ${VERSION}: "
                      "give the release its section")
endif()
# The trailer's blank line would end the file with an empty line, which dpkg-parsechangelog
# takes but does not write.
string(REGEX REPLACE "\n\n$" "\n" text "${text}${trailer}")
file(WRITE "${OUTPUT}" "${text}")
