# The Debian package's copyright file and changelog, written from LICENSE and CHANGELOG.md
# so that each text has one source.

# quillet_debian_copyright(LICENSE OUTPUT): LICENSE (MIT, "Copyright (c) YEARS HOLDER"
# followed by the licence text) in Debian's machine-readable copyright format, where MIT
# goes by its short name Expat.
function(quillet_debian_copyright license output)
  file(READ ${license} text)
  if(NOT text MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.*[^\n])\n*$")
    message(FATAL_ERROR "${license}: no line 'Copyright (c) YEARS HOLDER' before the text")
  endif()
  set(holder "${CMAKE_MATCH_1}")
  string(REPLACE "\n\n" "\n.\n" body "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " body " ${body}")
  file(WRITE ${output}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ${PROJECT_NAME}\n"
    "\n"
    "Files: *\n"
    "Copyright: ${holder}\n"
    "License: Expat\n"
    "${body}\n")
endfunction()

# quillet_rfc2822_date(ISO OUT): YYYY-MM-DD as the changelog's date, at noon UTC.
function(quillet_rfc2822_date iso out)
  if(NOT iso MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
    message(FATAL_ERROR "CHANGELOG.md: date '${iso}' is not YYYY-MM-DD")
  endif()
  math(EXPR year "${CMAKE_MATCH_1}")
  math(EXPR month "${CMAKE_MATCH_2}")
  set(day ${CMAKE_MATCH_3})
  # The day of the week by Sakamoto's method.
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${year} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekdayName)
  list(GET months ${index} monthName)
  set(${out} "${weekdayName}, ${day} ${monthName} ${year} 12:00:00 +0000" PARENT_SCOPE)
endfunction()

# quillet_debian_changelog(MARKDOWN OUTPUT): each "## VERSION (YYYY-MM-DD)" section of
# MARKDOWN as an entry of a native package's changelog, its "- " items as "  * ", signed
# by QUILLET_MAINTAINER. The newest section must be PROJECT_VERSION.
function(quillet_debian_changelog markdown output)
  file(READ ${markdown} text)
  set(changelog "")
  set(first ON)
  string(FIND "${text}" "\n## " start)
  while(start GREATER -1)
    math(EXPR start "${start} + 4")
    string(SUBSTRING "${text}" ${start} -1 text)
    string(FIND "${text}" "\n## " next)
    string(SUBSTRING "${text}" 0 ${next} section)
    if(NOT section MATCHES "^([0-9][^ \n]*) \\(([^)\n]+)\\)\n(.*)$")
      message(FATAL_ERROR "${markdown}: a heading is not '## VERSION (YYYY-MM-DD)'")
    endif()
    set(version ${CMAKE_MATCH_1})
    set(items "${CMAKE_MATCH_3}")
    quillet_rfc2822_date(${CMAKE_MATCH_2} date)
    if(first AND NOT version STREQUAL PROJECT_VERSION)
      message(FATAL_ERROR "${markdown}: the newest entry is ${version}, the project is ${PROJECT_VERSION}")
    endif()
    set(first OFF)
    string(STRIP "${items}" items)
    string(REPLACE "\n  " "\n    " items "${items}")
    string(REPLACE "\n- " "\n  * " items "\n${items}")
    string(APPEND changelog
      "quillet (${version}) unstable; urgency=medium\n${items}\n\n"
      " -- ${QUILLET_MAINTAINER}  ${date}\n\n")
    set(start ${next})
  endwhile()
  if(first)
    message(FATAL_ERROR "${markdown}: no '## VERSION (YYYY-MM-DD)' section")
  endif()
  string(STRIP "${changelog}" changelog)
  file(WRITE ${output} "${changelog}\n")
endfunction()
