# cmake -DPROGRAM=<program> -DTEMPLATE=<page.in> -DOUTPUT=<page> -DVERSION=<v> -P gen-man.cmake
cmake_minimum_required(VERSION 3.25)
#
# Writes a man page from its template, putting in place of the line "@HELP@"
# the text that "PROGRAM --help" prints, unchanged, as a no-fill block: the
# page's SYNOPSIS is the program's own usage text, so the two cannot drift.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help failed (${rc})")
endif()

# roff: a backslash is \e, a hyphen-minus is \- (a plain "-" may be shown as
# a hyphen, which breaks copying an option), a line that starts with "." or
# "'" would be a request, so it starts with the empty character \&.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REGEX REPLACE "\n$" "" help "${help}")

file(READ ${TEMPLATE} page)
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@HELP@" ".nf\n${help}\n.fi" page "${page}")
file(WRITE ${OUTPUT} "${page}")
